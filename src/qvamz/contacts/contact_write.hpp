// Writing contacts: WriteMsg hands every record of item type 1 here.  A
// record with contact_kind 1 is a distribution list (dist_list_write.hpp);
// any other becomes an EWS Contact, created with one CreateItem request of
// its own, after which its file attachments are uploaded one by one.
//
// The record is not changed: every text is filtered and escaped into the
// request (common/xml_request_text.hpp), and the home page's scheme rule
// works on a copy.
#pragma once

#include <string>
#include <string_view>

#include "qv/record.h"

namespace qvamz {

struct Session;

namespace contacts {

inline constexpr std::string_view kContactRequestFile = "cont-in.xml";
inline constexpr std::string_view kContactAnswerFileName = "cont-out.xml";
inline constexpr int kContactRetryStatus = 500; // the only status a contact is sent again for

// The text the contact is filed under (unescaped): the record's file_as,
// else "Last, First Middle" / "Last", else the first name, the company,
// the first e-mail address, the middle name, else "No Name".
std::string FileAsText(const qv_message &msg);

// The name shown for the contact: given, middle and last name joined,
// else what it is filed under.
std::string DisplayNameText(const qv_message &msg);

// The home page as written: with "https://" in front unless it starts
// with "http:", "https:" or "ftp:" (any case); "" stays "".
std::string WebPageWithScheme(std::string_view web_page);

// The CreateItem request body of the contact around its text body: what
// comes before the Body element and what follows it.  Without
// `with_home_page` the BusinessHomePage element is left out.
struct ContactRequest {
    std::string before_body;
    std::string after_body;
};
ContactRequest ContactRequestBody(const qv_message &msg, std::string_view folder_id,
                                  bool with_home_page);

// WriteContact: 0 created (its attachments follow), 1234 lost (the request
// could not be written, or CreateItem failed or was refused).  Lists go to
// WriteDistList.
int WriteContact(Session &session, const qv_message &msg, const std::string &work_dir);

} // namespace contacts
} // namespace qvamz
