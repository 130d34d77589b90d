// Contacts and distribution lists.  Exchange keeps a contact's fields as
// MAPI properties (PR_GIVEN_NAME, the PSETID_Address named properties for
// e-mail entries and the business address, ...); the sandbox stores them
// the same way, as extended properties of the item under those ids, so an
// ExtendedFieldURI reaches the value a <t:GivenName> element set.  A
// list's members are its PidLidDistributionListOneOffMembers and
// PidLidDistributionListMembers one-off entries; its MIME content is built
// on request and carries the list as a TNEF stream.  Neither kind has MIME
// text of its own, so their attachments live in the attachment table.
#pragma once

#include <libxml/tree.h>

#include <optional>
#include <string>
#include <vector>

#include "item_render.hpp"
#include "mail_store.hpp"
#include "ops_common.hpp"

namespace sandbox {

bool is_contact_class(const std::string &item_class); // IPM.Contact*, IPM.DistList*
bool is_list_class(const std::string &item_class);    // IPM.DistList*

// Whether a CreateItem item element is a contact or a list: <t:Contact>,
// <t:DistributionList>, or an <t:Item> whose PR_MESSAGE_CLASS (0x001A)
// extended property names one of those classes.
bool is_contact_element(xmlNodePtr item);

// The stored form of a <t:Contact>/<t:DistributionList> of CreateItem,
// with the names Exchange fills in (DisplayName, FileAs, Subject).  Its
// <t:Attachments> are left to the caller.
std::optional<StoredItem> contact_from_element(const OpEnv &env, xmlNodePtr element, EwsError &error);

// Applies one SetItemField / AppendToItemField / DeleteItemField to a
// contact or list; false with `error` when it cannot be applied.
bool apply_contact_update(const OpEnv &env, StoredItem &item, xmlNodePtr change, EwsError &error);

// <t:Contact> or <t:DistributionList> as GetItem/FindItem show it.
void render_contact_item(XmlOut &out, const OpEnv &env, const ItemInfo &info, const StoredItem *stored,
                         const ItemShape &shape);

// One CreateItem item: stores the contact or list in `folder` (the
// Contacts folder when the request named none) and writes its response
// message.
void create_contact_item(OpEnv &env, ResponseWriter &w, xmlNodePtr element,
                         const std::optional<FolderInfo> &folder, bool folder_named,
                         const EwsError &folder_error);

// ---- distribution list members (dist_list.cpp) -------------------------------
struct ListMember {
    std::string name;
    std::string address;
    std::string routing_type = "SMTP"; // "SMTP" when the address has an "@", else "UNKNOWN"
    std::string mailbox_type = "OneOff";
};

// The One-Off EntryID of MAPI: flags, the one-off provider's UID, version,
// 0x8001 (Unicode, no rich information), then display name, address type
// and address as NUL-terminated UTF-16LE.
std::string encode_one_off_entry(const ListMember &member);
// nullopt when the bytes are no one-off entry id.  8-bit entries (without
// the Unicode flag) are read as UTF-8.
std::optional<ListMember> decode_one_off_entry(const std::string &bytes);

std::vector<ListMember> list_members(const StoredItem &list);
void set_list_members(StoredItem &list, const std::vector<ListMember> &members);

// The list's MIME text: a single application/ms-tnef part whose TNEF
// stream holds the class, the display name and the members.
std::string list_mime(const StoredItem &list, const std::string &owner_address);
std::string list_tnef(const StoredItem &list);

} // namespace sandbox
