// Where each contact element is kept: the MAPI property Exchange stores it
// in, as an ExtendedValue id (tags "0x3a06", named properties
// "Address:id:32773" in PSETID_Address, "Common:id:..." in PSETID_Common).
#pragma once

#include <optional>
#include <string>

#include "mail_store.hpp"

namespace sandbox {

struct ContactScalar {
    const char *element; // ContactItemType child
    const char *id;
    const char *type;    // MapiPropertyType
};

// In the order of the schema's ContactItemType sequence.
inline constexpr ContactScalar kContactScalars[] = {
    {"FileAs", "Address:id:32773", "String"},          // PidLidFileUnder
    {"FileAsMapping", "Address:id:32774", "String"},   // PidLidFileUnderId (kept by name here)
    {"DisplayName", "0x3001", "String"},               // PR_DISPLAY_NAME
    {"GivenName", "0x3a06", "String"},
    {"Initials", "0x3a0a", "String"},
    {"MiddleName", "0x3a44", "String"},
    {"Nickname", "0x3a4f", "String"},
    {"CompanyName", "0x3a16", "String"},
    {"AssistantName", "0x3a30", "String"},
    {"Birthday", "0x3a42", "SystemTime"},
    {"BusinessHomePage", "0x3a51", "String"},
    {"Children", "0x3a58", "StringArray"},
    {"Companies", "Common:id:34105", "StringArray"},   // PidLidCompanies
    {"Department", "0x3a18", "String"},
    {"Generation", "0x3a05", "String"},
    {"JobTitle", "0x3a17", "String"},
    {"Manager", "0x3a4e", "String"},                   // PR_MANAGER_NAME
    {"Mileage", "Common:id:34100", "String"},          // PidLidMileage
    {"OfficeLocation", "0x3a19", "String"},
    {"PostalAddressIndex", "Address:id:32802", "Integer"}, // PidLidPostalAddressId
    {"Profession", "0x3a46", "String"},
    {"SpouseName", "0x3a48", "String"},
    {"Surname", "0x3a11", "String"},
    {"WeddingAnniversary", "0x3a41", "SystemTime"},
};

inline constexpr const char *kTitleId = "0x3a45"; // PR_DISPLAY_NAME_PREFIX: CompleteName/Title

struct PhoneKey {
    const char *key;
    const char *id;
};
inline constexpr PhoneKey kPhoneKeys[] = {
    {"AssistantPhone", "0x3a2e"}, {"BusinessFax", "0x3a24"},     {"BusinessPhone", "0x3a08"},
    {"BusinessPhone2", "0x3a1b"}, {"Callback", "0x3a02"},        {"CarPhone", "0x3a1e"},
    {"CompanyMainPhone", "0x3a57"}, {"HomeFax", "0x3a25"},       {"HomePhone", "0x3a09"},
    {"HomePhone2", "0x3a2f"},     {"Isdn", "0x3a2d"},            {"MobilePhone", "0x3a1c"},
    {"OtherFax", "0x3a23"},       {"OtherTelephone", "0x3a1f"},  {"Pager", "0x3a21"},
    {"PrimaryPhone", "0x3a1a"},   {"RadioPhone", "0x3a1d"},      {"Telex", "0x3a2c"},
    {"TtyTddPhone", "0x3a4b"},
    // Keys newer than the MAPI tag set: named properties of their own.
    {"BusinessMobile", "Address:name:BusinessMobile"}, {"IPPhone", "Address:name:IPPhone"},
    {"Mms", "Address:name:Mms"}, {"Msn", "Address:name:Msn"},
};

struct EmailKey {
    const char *key;
    const char *address_id;      // PidLidEmail1EmailAddress, ...
    const char *name_id;         // PidLidEmail1DisplayName, ...
    const char *routing_type_id; // PidLidEmail1AddressType, ...
};
inline constexpr EmailKey kEmailKeys[] = {
    {"EmailAddress1", "Address:id:32899", "Address:id:32896", "Address:id:32898"},
    {"EmailAddress2", "Address:id:32915", "Address:id:32912", "Address:id:32914"},
    {"EmailAddress3", "Address:id:32931", "Address:id:32928", "Address:id:32930"},
};

struct AddressKey {
    const char *key;
    // Street, City, State, CountryOrRegion, PostalCode
    const char *ids[5];
};
inline constexpr const char *kAddressParts[] = {"Street", "City", "State", "CountryOrRegion", "PostalCode"};
inline constexpr AddressKey kAddressKeys[] = {
    // PidLidWorkAddressStreet ... PidLidWorkAddressPostalCode
    {"Business", {"Address:id:32837", "Address:id:32838", "Address:id:32839", "Address:id:32841",
                  "Address:id:32840"}},
    {"Home", {"0x3a5d", "0x3a59", "0x3a5c", "0x3a5a", "0x3a5b"}},
    {"Other", {"0x3a63", "0x3a5f", "0x3a62", "0x3a60", "0x3a61"}},
};

struct ImKey {
    const char *key;
    const char *id;
};
inline constexpr ImKey kImKeys[] = {
    {"ImAddress1", "Address:id:32866"}, // PidLidInstantMessagingAddress
    {"ImAddress2", "Address:name:ImAddress2"},
    {"ImAddress3", "Address:name:ImAddress3"},
};

inline constexpr const char *kTextBodyId = "0x1000"; // PR_BODY
inline constexpr const char *kHtmlBodyId = "0x1013"; // PR_HTML (bytes, base64 when stored)
// A list's members (PidLidDistributionListOneOffMembers, ...Members) and
// the mailbox type of each, which one-off entries cannot carry.
inline constexpr const char *kOneOffMembersId = "Address:id:32852";
inline constexpr const char *kMembersId = "Address:id:32853";
inline constexpr const char *kListNameId = "Address:id:32851";
inline constexpr const char *kMemberTypesId = "{5d1c2a0e-7b34-4e8a-9c61-3f0b8d2e4a17}:name:MemberMailboxTypes";

// Single-valued text of a stored property, nullopt when absent.
std::optional<std::string> contact_text(const StoredItem &item, const std::string &id);
std::vector<std::string> contact_values(const StoredItem &item, const std::string &id);
void set_contact_values(StoredItem &item, const std::string &id, const std::string &type,
                        std::vector<std::string> values); // empty: removes the property

} // namespace sandbox
