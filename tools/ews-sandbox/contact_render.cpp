// <t:Contact> and <t:DistributionList> as GetItem and FindItem answer
// them, every child in the order of the schema's ItemType, ContactItemType
// and DistributionListType sequences.
#include <algorithm>
#include <cstring>

#include "contact_item.hpp"
#include "contact_props.hpp"
#include "crypto_util.hpp"
#include "item_attachments.hpp"

namespace sandbox {

namespace {

using F = Field;

// The element a requested FieldURI shows: indexed URIs name their whole
// dictionary ("contacts:PhysicalAddress:City" -> PhysicalAddresses).
std::string element_of_uri(const std::string &uri) {
    std::string name = uri.substr(uri.find(':') + 1);
    for (auto [prefix, group] : {std::pair{"EmailAddress", "EmailAddresses"},
                                 std::pair{"PhysicalAddress", "PhysicalAddresses"},
                                 std::pair{"PhoneNumber", "PhoneNumbers"},
                                 std::pair{"ImAddress", "ImAddresses"}})
        if (name.rfind(prefix, 0) == 0) return group;
    return name;
}

bool has_any_entry(const StoredItem &item, const char *group) {
    auto present = [&](const char *id) { return contact_text(item, id).has_value(); };
    if (std::strcmp(group, "t:EmailAddresses") == 0)
        return std::any_of(std::begin(kEmailKeys), std::end(kEmailKeys),
                           [&](const EmailKey &k) { return present(k.address_id); });
    if (std::strcmp(group, "t:PhoneNumbers") == 0)
        return std::any_of(std::begin(kPhoneKeys), std::end(kPhoneKeys),
                           [&](const PhoneKey &k) { return present(k.id); });
    if (std::strcmp(group, "t:ImAddresses") == 0)
        return std::any_of(std::begin(kImKeys), std::end(kImKeys), [&](const ImKey &k) { return present(k.id); });
    return std::any_of(std::begin(kAddressKeys), std::end(kAddressKeys), [&](const AddressKey &k) {
        return std::any_of(std::begin(k.ids), std::end(k.ids), present);
    });
}

class ContactView {
  public:
    ContactView(XmlOut &out, const StoredItem &item, const ItemShape &shape)
        : out_(out), item_(item), shape_(shape) {
        all_ = shape.base == "AllProperties" || shape.base == "Default";
        for (const auto &uri : shape.other_kind_uris) wanted_.push_back(element_of_uri(uri));
    }

    bool wants(const char *element) const {
        return all_ || std::find(wanted_.begin(), wanted_.end(), element) != wanted_.end();
    }
    std::string text(const char *id) const { return contact_text(item_, id).value_or(""); }

    void scalar(const ContactScalar &s) {
        if (!wants(s.element)) return;
        auto values = contact_values(item_, s.id);
        std::string element = std::string("t:") + s.element;
        if (std::strcmp(s.element, "PostalAddressIndex") == 0) {
            static const char *names[] = {"None", "Home", "Business", "Other"};
            int n = values.empty() ? 0 : std::clamp(std::atoi(values.front().c_str()), 0, 3);
            out_.leaf(element, names[n]);
        } else if (values.empty()) {
            return;
        } else if (std::strcmp(s.type, "StringArray") == 0) {
            out_.open(element);
            for (const auto &v : values) out_.leaf("t:String", v);
            out_.close();
        } else {
            out_.leaf(element, values.front());
        }
    }

    void complete_name() {
        if (!wants("CompleteName") || shape_.for_find) return;
        out_.open("t:CompleteName");
        for (auto [element, id] : {std::pair{"t:Title", kTitleId}, std::pair{"t:FirstName", "0x3a06"},
                                   std::pair{"t:MiddleName", "0x3a44"}, std::pair{"t:LastName", "0x3a11"},
                                   std::pair{"t:Suffix", "0x3a05"}, std::pair{"t:Initials", "0x3a0a"},
                                   std::pair{"t:FullName", "0x3001"}, std::pair{"t:Nickname", "0x3a4f"}})
            if (auto v = contact_text(item_, id); v && !v->empty()) out_.leaf(element, *v);
        out_.close();
    }

    void dictionaries_after_company() {
        if (wants("EmailAddresses")) {
            group("t:EmailAddresses", std::size(kEmailKeys), [&](std::size_t i) {
                return entry(kEmailKeys[i].key, kEmailKeys[i].address_id);
            });
        }
        if (wants("PhysicalAddresses")) {
            group("t:PhysicalAddresses", std::size(kAddressKeys), [&](std::size_t i) {
                const AddressKey &k = kAddressKeys[i];
                bool any = std::any_of(std::begin(k.ids), std::end(k.ids),
                                       [&](const char *id) { return contact_text(item_, id).has_value(); });
                if (!any) return false;
                out_.open("t:Entry").attr("Key", k.key);
                for (std::size_t p = 0; p < std::size(kAddressParts); ++p)
                    if (auto v = contact_text(item_, k.ids[p]))
                        out_.leaf(std::string("t:") + kAddressParts[p], *v);
                out_.close();
                return true;
            });
        }
        if (wants("PhoneNumbers"))
            group("t:PhoneNumbers", std::size(kPhoneKeys),
                  [&](std::size_t i) { return entry(kPhoneKeys[i].key, kPhoneKeys[i].id); });
    }

    void im_addresses() {
        if (wants("ImAddresses"))
            group("t:ImAddresses", std::size(kImKeys),
                  [&](std::size_t i) { return entry(kImKeys[i].key, kImKeys[i].id); });
    }

    void contact_fields() {
        for (const auto &s : kContactScalars) {
            scalar(s);
            std::string name = s.element;
            if (name == "Nickname") complete_name();
            if (name == "CompanyName") dictionaries_after_company();
            if (name == "Companies" && wants("ContactSource")) out_.leaf("t:ContactSource", "Store");
            if (name == "Generation") im_addresses();
        }
        if (wants("HasPicture")) out_.leaf_bool("t:HasPicture", false);
    }

  private:
    bool entry(const char *key, const char *id) {
        auto v = contact_text(item_, id);
        if (!v) return false;
        out_.open("t:Entry").attr("Key", key).text(*v).close();
        return true;
    }

    // The dictionary element only when one of its entries is there.
    template <typename Each> void group(const char *element, std::size_t n, Each each) {
        if (!has_any_entry(item_, element)) return;
        out_.open(element);
        for (std::size_t i = 0; i < n; ++i) each(i);
        out_.close();
    }

    XmlOut &out_;
    const StoredItem &item_;
    const ItemShape &shape_;
    bool all_ = false;
    std::vector<std::string> wanted_;
};

void write_body(XmlOut &out, const StoredItem &item, const std::string &requested) {
    auto text = contact_text(item, kTextBodyId);
    std::optional<std::string> html;
    if (auto b64 = contact_text(item, kHtmlBodyId)) html = base64_decode_lenient(*b64);
    if (!text && !html) return;
    std::string type = requested == "Best" ? (html ? "HTML" : "Text") : requested;
    std::string content = type == "HTML" ? (html ? *html : text_to_html(*text))
                                         : (text ? *text : html_to_text(*html));
    out.open("t:Body").attr("BodyType", type).text(content).close();
}

// What the item takes up: its properties and attachments.
std::int64_t item_size(const OpEnv &env, const StoredItem &item) {
    std::int64_t size = 256 + static_cast<std::int64_t>(item.info.subject.size());
    for (const auto &e : item.extended)
        for (const auto &v : e.values) size += static_cast<std::int64_t>(e.id.size() + v.size());
    for (const auto &a : env.store.attachments(item.info.mailbox, item.info.id)) size += a.size;
    return size;
}

// ItemType's children as far as contacts and lists have them.
void write_item_fields(XmlOut &out, const OpEnv &env, const StoredItem &item, const ItemShape &shape) {
    const ItemInfo &info = item.info;
    auto on = [&](F f) { return shape.has(f); };
    const bool get = !shape.for_find;
    write_item_identity(out, env, info, shape, item_id_of(env, info), info.subject);
    if (get && on(F::Body)) write_body(out, item, shape.body_type);
    if (get && on(F::Attachments)) render_table_attachments(out, env, info);
    if (on(F::DateTimeReceived)) out.leaf("t:DateTimeReceived", format_ews_time(info.date_received));
    if (on(F::Size)) out.leaf("t:Size", item_size(env, item));
    if (on(F::Categories) && !info.categories.empty()) {
        out.open("t:Categories");
        for (const auto &c : info.categories) out.leaf("t:String", c);
        out.close();
    }
    if (on(F::Importance)) {
        static const char *names[] = {"Low", "Normal", "High"};
        out.leaf("t:Importance", names[std::clamp(info.importance, 0, 2)]);
    }
    for (auto [f, element] : {std::pair{F::IsSubmitted, "t:IsSubmitted"}, std::pair{F::IsDraft, "t:IsDraft"},
                              std::pair{F::IsFromMe, "t:IsFromMe"}, std::pair{F::IsResend, "t:IsResend"},
                              std::pair{F::IsUnmodified, "t:IsUnmodified"}})
        if (on(f)) out.leaf_bool(element, false);
    if (on(F::DateTimeCreated)) out.leaf("t:DateTimeCreated", format_ews_time(info.date_created));
    if (on(F::ReminderIsSet))
        out.leaf_bool("t:ReminderIsSet", element_property_value(item, "ReminderIsSet").value_or("false") == "true");
    if (on(F::ReminderMinutesBeforeStart))
        out.leaf("t:ReminderMinutesBeforeStart",
                 element_property_value(item, "ReminderMinutesBeforeStart").value_or("0"));
    if (on(F::DisplayCc)) out.leaf("t:DisplayCc", "");
    if (on(F::DisplayTo)) out.leaf("t:DisplayTo", "");
    if (on(F::HasAttachments)) out.leaf_bool("t:HasAttachments", info.has_attachments);
    for (const auto &path : shape.extended)
        if (auto v = read_property(item, path)) write_extended_property_xml(out, path, *v);
    if (on(F::Culture)) out.leaf("t:Culture", "en-US");
    if (on(F::EffectiveRights)) {
        out.open("t:EffectiveRights");
        out.leaf_bool("t:CreateAssociated", false).leaf_bool("t:CreateContents", false);
        out.leaf_bool("t:CreateHierarchy", false).leaf_bool("t:Delete", true);
        out.leaf_bool("t:Modify", true).leaf_bool("t:Read", true).leaf_bool("t:ViewPrivateItems", true);
        out.close();
    }
    if (on(F::LastModifiedTime)) out.leaf("t:LastModifiedTime", format_ews_time(info.last_modified));
    if (on(F::IsAssociated)) out.leaf_bool("t:IsAssociated", false);
}

void write_members(XmlOut &out, const StoredItem &list) {
    auto members = list_members(list);
    out.open("t:Members");
    for (const auto &m : members) {
        std::string key = base64_encode(sha256_raw(encode_one_off_entry(m)).substr(0, 16));
        out.open("t:Member").attr("Key", key);
        out.open("t:Mailbox").leaf("t:Name", m.name);
        if (!m.address.empty()) out.leaf("t:EmailAddress", m.address);
        out.leaf("t:RoutingType", m.routing_type).leaf("t:MailboxType", m.mailbox_type).close();
        out.leaf("t:Status", "Normal");
        out.close();
    }
    out.close();
}

} // namespace

void render_contact_item(XmlOut &out, const OpEnv &env, const ItemInfo &info, const StoredItem *stored,
                         const ItemShape &shape) {
    std::optional<StoredItem> loaded;
    if (!stored) {
        loaded = env.store.load_item(info.mailbox, info.id);
        if (!loaded) return;
        stored = &*loaded;
    }
    const bool list = is_list_class(info.item_class);
    out.open(list ? "t:DistributionList" : "t:Contact");
    // Exchange builds a list's MIME content from its properties; contacts
    // are shown without it.
    if (list && shape.has(F::MimeContent) && !shape.for_find)
        out.open("t:MimeContent").attr("CharacterSet", "UTF-8")
            .text(base64_encode(list_mime(*stored, env.store.mailbox_address(info.mailbox)))).close();
    write_item_fields(out, env, *stored, shape);
    ContactView view(out, *stored, shape);
    if (list) {
        if (view.wants("DisplayName")) out.leaf("t:DisplayName", view.text("0x3001"));
        if (view.wants("FileAs")) out.leaf("t:FileAs", view.text("Address:id:32773"));
        if (view.wants("ContactSource")) out.leaf("t:ContactSource", "Store");
        if (view.wants("Members") && !shape.for_find) write_members(out, *stored);
    } else {
        view.contact_fields();
    }
    out.close();
}

} // namespace sandbox
