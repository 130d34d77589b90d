// compare_contacts.cpp - the demo check for contacts (see compare_contacts.hpp).
#include "compare_contacts.hpp"

#include <algorithm>
#include <map>
#include <stdexcept>

#include "json_util.hpp"

namespace qvmigrate {

namespace fs = std::filesystem;

namespace {

// Where the sandbox keeps a contact's fields, as the dump names them:
// "set:id" for named properties, ":0xtag" for tagged ones.  Only what the
// contact record carries is compared: it has no birthday, initials,
// nickname, title, generation or office, no "Other" address and none of
// the rarer phones, so a copy cannot keep those.  A contact's display name
// is not carried either (the writer joins the name parts), only a list's.
struct ContactField {
    const char *name;
    const char *property;
};
constexpr ContactField kContactFields[] = {
    {"file as", "Address:32773"}, {"given name", ":0x3a06"},
    {"middle name", ":0x3a44"},  {"surname", ":0x3a11"},       {"company", ":0x3a16"},
    {"department", ":0x3a18"},   {"job title", ":0x3a17"},     {"manager", ":0x3a4e"},
    {"assistant", ":0x3a30"},    {"notes", ":0x1000"},
    // E-mail addresses 1-3 and the names they are shown with.
    {"e-mail 1", "Address:32899"}, {"e-mail 1 display name", "Address:32896"},
    {"e-mail 2", "Address:32915"}, {"e-mail 2 display name", "Address:32912"},
    {"e-mail 3", "Address:32931"}, {"e-mail 3 display name", "Address:32928"},
    // Phone numbers.
    {"assistant phone", ":0x3a2e"}, {"business fax", ":0x3a24"}, {"business phone", ":0x3a08"},
    {"business phone 2", ":0x3a1b"}, {"home phone", ":0x3a09"}, {"mobile phone", ":0x3a1c"},
    {"other phone", ":0x3a1f"}, {"pager", ":0x3a21"},
    // Postal addresses: street, city, state, country, postal code.
    {"business street", "Address:32837"}, {"business city", "Address:32838"},
    {"business state", "Address:32839"}, {"business country", "Address:32841"},
    {"business postal code", "Address:32840"},
    {"home street", ":0x3a5d"}, {"home city", ":0x3a59"}, {"home state", ":0x3a5c"},
    {"home country", ":0x3a5a"}, {"home postal code", ":0x3a5b"},
    // A list's members: one-off entries, each naming its member.  Whether a
    // member was a directory mailbox is not carried, so its kind is not
    // compared.
    {"list members", "Address:32852"},
};
constexpr const char *kDisplayName = ":0x3001";
constexpr const char *kFileAs = "Address:32773";
constexpr const char *kHomePage = ":0x3a51";

using Properties = std::map<std::string, std::string>; // "set:key" -> value

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

Properties properties_of(const DumpItem &item) {
    fs::path json_path = item.eml;
    json_path.replace_extension(".json");
    const auto json_text = read_text_file(json_path);
    if (!json_text)
        throw std::runtime_error("cannot read the dump of contact \"" + item.subject + "\"");
    JsonParse parsed = parse_json(*json_text);
    if (!parsed.root)
        throw std::runtime_error(json_path.string() + ": " + parsed.error);
    Properties properties;
    const cJSON *list = json_member(parsed.root.get(), "extended_properties");
    for (const cJSON *p = cJSON_IsArray(list) ? list->child : nullptr; p; p = p->next) {
        const std::string set = json_string(p, "DistinguishedPropertySetId")
                                    .value_or(lowered(json_string(p, "PropertySetId").value_or("")));
        const auto tag = json_string(p, "PropertyTag");
        const std::string key = tag ? lowered(*tag)
                                    : json_string(p, "PropertyId")
                                          .value_or(json_string(p, "PropertyName").value_or(""));
        std::string value = json_string(p, "value").value_or("");
        // Multi-valued fields (list members) compare as sets: order is
        // not something a client shows.
        const cJSON *values = json_member(p, "values");
        if (cJSON_IsArray(values)) {
            std::vector<std::string> all;
            for (const cJSON *v = values->child; v; v = v->next)
                if (cJSON_IsString(v))
                    all.emplace_back(v->valuestring);
            std::sort(all.begin(), all.end());
            for (const std::string &v : all)
                value += v + "\n";
        }
        properties[set + ":" + key] = value;
    }
    return properties;
}

std::string property(const Properties &properties, const char *key) {
    const auto it = properties.find(key);
    return it == properties.end() ? std::string() : it->second;
}

// Contacts carry no Message-ID: they are matched by file-as (which the
// record carries), else by display name.
std::string display_name_of(const DumpItem &item, const Properties &properties) {
    for (const char *key : {kFileAs, kDisplayName})
        if (const std::string name = property(properties, key); !name.empty())
            return name;
    return item.subject;
}

bool is_list(const DumpItem &item) { return item.item_class.rfind("IPM.DistList", 0) == 0; }

// A home page without a scheme is written as https://, which is the same
// page.
std::string home_page(const Properties &properties) {
    const std::string page = property(properties, kHomePage);
    const std::string lower = lowered(page);
    for (const char *scheme : {"http:", "https:", "ftp:"})
        if (lower.rfind(scheme, 0) == 0)
            return page;
    return page.empty() ? page : "https://" + page;
}

struct LoadedContact {
    const DumpItem *item;
    Properties properties;
    std::string name;
};

std::multimap<std::string, LoadedContact> contacts_of(const MailboxDump &dump) {
    std::multimap<std::string, LoadedContact> out;
    for (const DumpItem &item : dump.items) {
        if (!is_contact(item))
            continue;
        LoadedContact contact{&item, properties_of(item), {}};
        contact.name = display_name_of(item, contact.properties);
        out.emplace(item.folder + "\n" + contact.name, std::move(contact));
    }
    return out;
}

void compare_contact(const LoadedContact &a, const LoadedContact &b, std::vector<std::string> &out) {
    const std::string who = a.item->folder + ": contact \"" + a.name + "\": ";
    if (a.item->item_class != b.item->item_class)
        out.push_back(who + "is " + b.item->item_class + " in the target, " + a.item->item_class +
                      " in the source");
    for (const ContactField &field : kContactFields)
        if (property(a.properties, field.property) != property(b.properties, field.property))
            out.push_back(who + field.name + " differs");
    if (is_list(*a.item) && property(a.properties, kDisplayName) != property(b.properties, kDisplayName))
        out.push_back(who + "display name differs");
    if (home_page(a.properties) != home_page(b.properties))
        out.push_back(who + "business home page differs");
    if (a.item->categories != b.item->categories)
        out.push_back(who + "categories differ");
    auto files = [](const DumpItem &item) {
        std::vector<std::pair<std::string, long long>> list;
        for (const DumpAttachment &x : item.attachments)
            list.emplace_back(x.name, x.size);
        std::sort(list.begin(), list.end());
        return list;
    };
    if (files(*a.item) != files(*b.item))
        out.push_back(who + "attachments differ");
}

} // namespace

bool is_contact(const DumpItem &item) {
    return item.item_class.rfind("IPM.Contact", 0) == 0 || item.item_class.rfind("IPM.DistList", 0) == 0;
}

std::vector<std::string> compare_contacts(const MailboxDump &source, const MailboxDump &target) {
    std::multimap<std::string, LoadedContact> targets = contacts_of(target);
    std::vector<std::string> out;
    for (const auto &[key, contact] : contacts_of(source)) {
        const auto it = targets.find(key);
        if (it == targets.end()) {
            out.push_back(contact.item->folder + ": contact \"" + contact.name + "\" is missing in the target");
            continue;
        }
        compare_contact(contact, it->second, out);
        targets.erase(it);
    }
    for (const auto &[key, contact] : targets)
        out.push_back(contact.item->folder + ": contact \"" + contact.name + "\" is only in the target");
    return out;
}

} // namespace qvmigrate
