// Contact and list elements of CreateItem and UpdateItem into stored
// properties, and the names Exchange derives when a client leaves them out.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "contact_item.hpp"
#include "contact_props.hpp"
#include "item_props.hpp"

namespace sandbox {

namespace {

UnixTime now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Contact elements a client may read but not write (computed by the
// server or taken from the directory).
constexpr const char *kReadOnly[] = {
    "CompleteName", "HasPicture", "ContactSource", "PhoneticFullName", "PhoneticFirstName",
    "PhoneticLastName", "Alias", "Notes", "Photo", "UserSMIMECertificate", "MSExchangeCertificate",
    "DirectoryId", "ManagerMailbox", "DirectReports", "AbchEmailAddresses"};

const ContactScalar *scalar(const std::string &element) {
    for (const auto &s : kContactScalars)
        if (element == s.element) return &s;
    return nullptr;
}

bool refuse(EwsError &error, const std::string &text) {
    error = ews_error("ErrorInvalidPropertySet", text);
    return false;
}

std::optional<int> choice(const std::string &text, std::initializer_list<const char *> names) {
    int n = 0;
    for (const char *name : names) {
        if (text == name) return n;
        ++n;
    }
    return std::nullopt;
}

bool set_scalar(StoredItem &item, const ContactScalar &s, xmlNodePtr e, EwsError &error) {
    std::string type = s.type;
    std::vector<std::string> values;
    if (type == "StringArray") {
        for (xmlNodePtr v : children(e, "String")) values.push_back(node_text(v));
    } else if (type == "SystemTime") {
        auto t = parse_ews_time(node_text(e));
        if (!t) return refuse(error, std::string("The value of ") + s.element + " is not a date.");
        values.push_back(format_ews_time(*t));
    } else if (std::strcmp(s.element, "PostalAddressIndex") == 0) {
        auto n = choice(node_text(e), {"None", "Home", "Business", "Other"});
        if (!n) return refuse(error, "The value of PostalAddressIndex is not valid.");
        values.push_back(std::to_string(*n));
    } else {
        values.push_back(node_text(e));
    }
    set_contact_values(item, s.id, type, std::move(values));
    return true;
}

// <t:Entry Key="..."> children of a dictionary; entries replace only the
// keys they name, as Exchange merges them.
bool set_dictionary(StoredItem &item, const std::string &name, xmlNodePtr e, EwsError &error) {
    for (xmlNodePtr entry : children(e, "Entry")) {
        std::string key = attribute(entry, "Key").value_or("");
        bool known = false;
        if (name == "PhoneNumbers") {
            for (const auto &k : kPhoneKeys)
                if (key == k.key) {
                    set_contact_values(item, k.id, "String", {node_text(entry)});
                    known = true;
                }
        } else if (name == "EmailAddresses") {
            for (const auto &k : kEmailKeys)
                if (key == k.key) {
                    set_contact_values(item, k.address_id, "String", {node_text(entry)});
                    set_contact_values(item, k.name_id, "String",
                                       {attribute(entry, "Name").value_or(node_text(entry))});
                    set_contact_values(item, k.routing_type_id, "String",
                                       {attribute(entry, "RoutingType").value_or("SMTP")});
                    known = true;
                }
        } else if (name == "ImAddresses") {
            for (const auto &k : kImKeys)
                if (key == k.key) {
                    set_contact_values(item, k.id, "String", {node_text(entry)});
                    known = true;
                }
        } else if (name == "PhysicalAddresses") {
            for (const auto &k : kAddressKeys) {
                if (key != k.key) continue;
                known = true;
                for (std::size_t p = 0; p < std::size(kAddressParts); ++p)
                    if (xmlNodePtr part = child(entry, kAddressParts[p]))
                        set_contact_values(item, k.ids[p], "String", {node_text(part)});
            }
        }
        if (!known) return refuse(error, "The key " + key + " is not valid in " + name + ".");
    }
    return true;
}

bool set_body(StoredItem &item, xmlNodePtr e) {
    bool html = attribute(e, "BodyType").value_or("Text") == "HTML";
    set_contact_values(item, kTextBodyId, "String", {});
    set_contact_values(item, kHtmlBodyId, "Binary", {});
    std::string text = node_text(e);
    if (html) set_contact_values(item, kHtmlBodyId, "Binary", {base64_encode(text)});
    else set_contact_values(item, kTextBodyId, "String", {text});
    return true;
}

bool set_members(const OpEnv &env, StoredItem &item, xmlNodePtr e, EwsError &error) {
    std::vector<ListMember> members;
    for (xmlNodePtr m : children(e, "Member")) {
        xmlNodePtr mailbox = child(m, "Mailbox");
        ListMember member;
        member.name = node_text(child(mailbox, "Name"));
        member.address = node_text(child(mailbox, "EmailAddress"));
        if (member.name.empty() && member.address.empty())
            return refuse(error, "A list member needs a name or an address.");
        if (member.name.empty()) member.name = member.address;
        std::string routing = node_text(child(mailbox, "RoutingType"));
        member.routing_type = !routing.empty() ? routing
                              : member.address.find('@') != std::string::npos ? "SMTP" : "UNKNOWN";
        std::string type = node_text(child(mailbox, "MailboxType"));
        // A mailbox member must be one the directory knows; anything else is
        // kept as the one-off address it is.
        bool in_directory = !env.ctx.mailbox_exists || env.ctx.mailbox_exists(member.address);
        member.mailbox_type = type == "Mailbox" && !in_directory ? "OneOff"
                              : type.empty() ? (in_directory ? "Mailbox" : "OneOff") : type;
        members.push_back(std::move(member));
    }
    set_list_members(item, members);
    return true;
}

bool set_item_element(StoredItem &item, const std::string &name, xmlNodePtr e, EwsError &error) {
    std::string text = node_text(e);
    ItemInfo &i = item.info;
    if (name == "ItemClass") i.item_class = text;
    else if (name == "Subject") i.subject = text;
    else if (name == "Sensitivity") {
        auto n = choice(text, {"Normal", "Personal", "Private", "Confidential"});
        if (!n) return refuse(error, "The value of Sensitivity is not valid.");
        i.sensitivity = *n;
    } else if (name == "Importance") {
        auto n = choice(text, {"Low", "Normal", "High"});
        if (!n) return refuse(error, "The value of Importance is not valid.");
        i.importance = *n;
    } else if (name == "Categories") {
        i.categories.clear();
        for (xmlNodePtr s : children(e, "String")) i.categories.push_back(node_text(s));
    } else if (name == "Body") {
        return set_body(item, e);
    } else if (name == "ExtendedProperty") {
        auto value = parse_extended_property(e, error);
        return value && write_property(item, *value, error);
    } else if (const ElementProperty *p = element_property(name)) {
        if (!set_element_property(item, *p, text))
            return refuse(error, "The value of " + name + " is not valid.");
    } else if (name == "ReminderDueBy") {
        auto t = parse_ews_time(text);
        if (!t) return refuse(error, "The value of ReminderDueBy is not a date.");
        set_contact_values(item, "Common:id:34050", "SystemTime", {format_ews_time(*t)}); // PidLidReminderTime
    } else if (name != "Culture") {
        return false;
    }
    return true;
}

// Applies one child element of <t:Contact> / <t:DistributionList>.
bool apply_element(const OpEnv &env, StoredItem &item, xmlNodePtr e, EwsError &error) {
    std::string name = local_name(e);
    if (set_item_element(item, name, e, error)) return true;
    if (!error.code.empty()) return false;
    if (const ContactScalar *s = scalar(name)) return set_scalar(item, *s, e, error);
    if (name == "EmailAddresses" || name == "PhoneNumbers" || name == "PhysicalAddresses" ||
        name == "ImAddresses")
        return set_dictionary(item, name, e, error);
    if (name == "Members") return set_members(env, item, e, error);
    if (std::find_if(std::begin(kReadOnly), std::end(kReadOnly),
                     [&](const char *r) { return name == r; }) != std::end(kReadOnly))
        return refuse(error, "The property " + name + " is read-only.");
    return refuse(error, "The sandbox cannot store the property " + name + " of a contact.");
}

std::string joined(std::initializer_list<std::string> parts, const char *separator) {
    std::string out;
    for (const auto &p : parts) {
        if (p.empty()) continue;
        if (!out.empty()) out += separator;
        out += p;
    }
    return out;
}

// DisplayName, FileAs and Subject a client left out, as Exchange fills
// them: the display name from the name parts (then company, then e-mail),
// filed as "Last, First Middle", and the subject is the display name.
void derive_names(StoredItem &item) {
    auto text = [&](const char *id) { return contact_text(item, id).value_or(""); };
    std::string display = text("0x3001");
    if (is_list_class(item.info.item_class) && display.empty()) display = text(kListNameId);
    if (display.empty())
        display = joined({text("0x3a06"), text("0x3a44"), text("0x3a11")}, " ");
    if (display.empty()) display = text("0x3a16");
    if (display.empty()) display = text(kEmailKeys[0].address_id);
    if (!display.empty()) set_contact_values(item, "0x3001", "String", {display});
    if (text("Address:id:32773").empty()) {
        std::string last = text("0x3a11");
        std::string first = joined({text("0x3a06"), text("0x3a44")}, " ");
        std::string file_as = joined({last, first}, ", ");
        if (file_as.empty()) file_as = text("0x3a16");
        if (file_as.empty()) file_as = display;
        if (!file_as.empty()) set_contact_values(item, "Address:id:32773", "String", {file_as});
    }
    if (item.info.subject.empty()) item.info.subject = display;
}

} // namespace

bool is_contact_class(const std::string &item_class) {
    return item_class.rfind("IPM.Contact", 0) == 0 || is_list_class(item_class);
}

bool is_list_class(const std::string &item_class) { return item_class.rfind("IPM.DistList", 0) == 0; }

bool is_contact_element(xmlNodePtr item) {
    std::string kind = local_name(item);
    if (kind == "Contact" || kind == "DistributionList") return true;
    if (kind != "Item") return false;
    for (xmlNodePtr p : children(item, "ExtendedProperty")) {
        EwsError ignored;
        auto path = parse_prop_path(child(p, "ExtendedFieldURI"), ignored);
        if (path && path->id == "0x1a" && is_contact_class(node_text(child(p, "Value")))) return true;
    }
    return false;
}

std::optional<StoredItem> contact_from_element(const OpEnv &env, xmlNodePtr element, EwsError &error) {
    StoredItem item;
    std::string kind = local_name(element);
    item.info.item_class = kind == "DistributionList" ? "IPM.DistList" : "IPM.Contact";
    const UnixTime t = now();
    item.info.date_received = item.info.date_created = item.info.last_modified = t;
    item.info.message_flags = 1; // read, not a draft
    for (xmlNodePtr e : children(element)) {
        std::string name = local_name(e);
        if (name == "Attachments") continue; // added once the item exists
        if (name == "MimeContent")
            return refuse(error, "The sandbox creates contacts from their properties, not MIME."),
                   std::nullopt;
        if (!apply_element(env, item, e, error)) return std::nullopt;
    }
    if (kind == "DistributionList" && !is_list_class(item.info.item_class))
        item.info.item_class = "IPM.DistList";
    derive_names(item);
    return item;
}

bool apply_contact_update(const OpEnv &env, StoredItem &item, xmlNodePtr change, EwsError &error) {
    std::string action = local_name(change);
    xmlNodePtr path = nullptr, value = nullptr;
    for (xmlNodePtr c : children(change)) {
        std::string n = local_name(c);
        if (n == "FieldURI" || n == "ExtendedFieldURI" || n == "IndexedFieldURI") path = c;
        else value = c;
    }
    if (!path) {
        error = ews_error("ErrorInvalidRequest", "The change names no property.");
        return false;
    }
    const std::string kind = is_list_class(item.info.item_class) ? "DistributionList" : "Contact";
    if (action == "DeleteItemField") {
        if (local_name(path) == "ExtendedFieldURI") {
            auto p = parse_prop_path(path, error);
            return p && delete_property(item, *p, error);
        }
        std::string uri = attribute(path, "FieldURI").value_or("");
        std::string element = uri.substr(uri.rfind(':') + 1);
        if (const ContactScalar *s = scalar(element)) {
            set_contact_values(item, s->id, s->type, {});
            return true;
        }
        if (uri == "item:Categories") {
            item.info.categories.clear();
            return true;
        }
        error = ews_error("ErrorInvalidPropertyDelete", "The property " + uri + " cannot be deleted.");
        return false;
    }
    if (action == "AppendToItemField") {
        error = ews_error("ErrorInvalidPropertyAppend", "The sandbox does not append to contact fields.");
        return false;
    }
    auto props = children(value);
    if (props.size() != 1) {
        error = ews_error("ErrorIncorrectUpdatePropertyCount",
                          "An object within a change description must contain one and only one "
                          "property to modify.");
        return false;
    }
    if (local_name(value) != kind && local_name(value) != "Item") {
        error = ews_error("ErrorObjectTypeChanged", "The item is a " + kind + ".");
        return false;
    }
    if (!apply_element(env, item, props.front(), error)) return false;
    item.info.last_modified = now();
    return true;
}

std::optional<std::string> contact_text(const StoredItem &item, const std::string &id) {
    for (const auto &e : item.extended)
        if (e.id == id && !e.values.empty()) return e.values.front();
    return std::nullopt;
}

std::vector<std::string> contact_values(const StoredItem &item, const std::string &id) {
    for (const auto &e : item.extended)
        if (e.id == id) return e.values;
    return {};
}

void set_contact_values(StoredItem &item, const std::string &id, const std::string &type,
                        std::vector<std::string> values) {
    auto &ext = item.extended;
    ext.erase(std::remove_if(ext.begin(), ext.end(), [&](const ExtendedValue &e) { return e.id == id; }),
              ext.end());
    if (!values.empty()) ext.push_back({id, type, std::move(values)});
}

} // namespace sandbox
