// Writing distribution lists, in one of two request forms:
//  - the member form (servers of version 15 or later, or "/D234"): a
//    DistributionList with a Members element, one OneOff Mailbox a member;
//  - the property form (older servers): the list's MAPI properties set as
//    extended properties, members as One-Off EntryIDs in the address
//    property set's members (32852) and one-off members (32853) arrays.
//    The element is DistributionList from version 14 on, Item before.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "qv/record.h"

namespace qvamz {

struct Session;

namespace contacts {

inline constexpr std::string_view kAddressPropertySet = "00062004-0000-0000-C000-000000000046";
inline constexpr std::size_t kEntryAddressUnitsMax = 256; // address type and address
inline constexpr std::size_t kEntryNameUnitsMax = 2000;   // display name

// The One-Off EntryID of one member, base64: flags, the one-off provider
// UID, version, 0x8001 (Unicode strings), then display name, address type
// ("SMTP" when the address holds "@", else "UNKNOWN") and address, each
// UTF-16LE and NUL-terminated.  An empty name takes the address.
std::string EncodeOneOffEntryId(std::string_view address, std::string_view display_name);

enum class ListForm { kMembers, kProperties };
ListForm ListFormFor(const Session &session);

// The CreateItem body of the list in the given form.  `major_version`
// picks the property form's element name.
std::string DistListRequestBody(const qv_message &msg, std::string_view folder_id, ListForm form,
                                int major_version);

// WriteDistList: 0 created, 1234 lost (also when the request file cannot
// be written).  Any status of 500 or more is tried again.
int WriteDistList(Session &session, const qv_message &msg, const std::string &work_dir);

} // namespace contacts
} // namespace qvamz
