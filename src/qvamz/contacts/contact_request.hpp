// Pieces the contact and list writers share: the categories element, the
// marker property, sending CreateItem and reading its answer, and the
// "/CONDEBUG" copies of requests and failed answers.
#pragma once

#include <string>
#include <string_view>

#include "mailwrite/attachment_upload.hpp"
#include "transport/http_post.hpp"

namespace qvamz {

struct Session;

namespace contacts {

inline constexpr int kContactStored = 0;
inline constexpr int kContactLost = 1234;

// The PR_COMMENT property every written contact carries.
inline constexpr std::string_view kViaQvProperty =
    "<t:ExtendedProperty>\n"
    "<t:ExtendedFieldURI PropertyTag=\"0x3004\" PropertyType=\"String\"/>\n"
    "<t:Value>via QV</t:Value>\n"
    "</t:ExtendedProperty>\n";


// Sends the request file with CreateItem.
PostResult SendCreateItem(Session &session, std::string_view attributes,
                          const std::string &request_path, const std::string &answer_path,
                          std::string_view subject);

// The request succeeded and the server created the item (no response
// message of class Error); a refusal is logged with its code.
bool IsCreated(const PostResult &post, const std::string &answer_path);

// The new item's ItemId and ChangeKey from a CreateItem answer (empty id
// when the answer names none).
ParentItem CreatedItemOf(const std::string &answer_path);

// With "/CONDEBUG": copies the request into the debug folder as
// "cont-in%d.xml" and returns its number; -1 without the switch.
int CopyRequestForDebug(Session &session, const std::string &request_path);
// With "/CONDEBUG": the answer of a failed request as "cont-out%d.xml"
// with the number of its request.
void CopyAnswerForDebug(const Session &session, const std::string &answer_path, int number);

} // namespace contacts
} // namespace qvamz
