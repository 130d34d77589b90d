// The reader of contacts folders: ConvertFolder hands folders of type 1
// here.  The folder is listed with FindItem (pages of 500 ids, as for
// mail), each item is fetched with GetItem as EWS XML, filled into the
// record as a contact or a distribution list (contact_parse.hpp) and
// handed to the host.
#pragma once

#include <string>
#include <string_view>

namespace qvamz {

struct Session;
struct ConvertFolderArguments;
struct FolderEntry;

namespace contacts {

inline constexpr std::string_view kContactAnswerFile = "contact.xml";
inline constexpr std::string_view kUpdateAnswerFile = "update.xml";
inline constexpr std::string_view kContactIdsFile = "itemids.tmp";
inline constexpr std::string_view kDuplicateStoreName = "AddressBook";
// Kind of item in the host's loss report: contacts that could not be read.
inline constexpr int kLossKindContactRead = 13;

// The inside of the GetItem request of one contact or list.  The MIME
// content is asked for because a list's members travel in it.
std::string ContactGetItemBody(std::string_view item_id, std::string_view change_key);

// The UpdateItem body that sets a list's edit flag (PR 0x3016, "/D221").
std::string EditFlagUpdateBody(std::string_view item_id, std::string_view change_key);

// ConvertContactFolder: reads every item of the folder.  Stores the number
// of records handed to the host through args.out_count; returns 0, or
// kFolderEndedByHost when the host ended the folder.
int ConvertContactFolder(Session &session, const ConvertFolderArguments &args,
                         const FolderEntry &folder);

} // namespace contacts
} // namespace qvamz
