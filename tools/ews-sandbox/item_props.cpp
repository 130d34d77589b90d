#include "item_props.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "mime_summary.hpp"

namespace sandbox {

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

constexpr unsigned kCustomRangeStart = 0x8000; // named properties live here

// Property sets Exchange knows by name, with their GUIDs, so that a
// property named either way is the same property.
struct KnownSet {
    const char *name;
    const char *guid;
};
constexpr KnownSet kKnownSets[] = {
    {"Meeting", "6ed8da90-450b-101b-98da-00aa003f1305"},
    {"Appointment", "00062002-0000-0000-c000-000000000046"},
    {"Common", "00062008-0000-0000-c000-000000000046"},
    {"PublicStrings", "00020329-0000-0000-c000-000000000046"},
    {"Address", "00062004-0000-0000-c000-000000000046"},
    {"InternetHeaders", "00020386-0000-0000-c000-000000000046"},
    {"CalendarAssistant", "11000e07-b51b-40d6-af21-caa85edab1d0"},
    {"UnifiedMessaging", "4442858e-a9e3-4e80-b900-317a210cc15b"},
    {"Task", "00062003-0000-0000-c000-000000000046"},
    {"Sharing", "00062040-0000-0000-c000-000000000046"},
};

std::string set_identity(const std::string &attr, const std::string &value) {
    if (attr == "DistinguishedPropertySetId") return value;
    std::string g = lower(value);
    for (const auto &k : kKnownSets)
        if (g == k.guid) return k.name;
    return "{" + g + "}";
}

std::optional<std::int64_t> parse_int(const std::string &text, int base = 10) {
    std::int64_t v = 0;
    const char *first = text.data(), *last = text.data() + text.size();
    if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        first += 2;
    if (first == last) return std::nullopt;
    auto r = std::from_chars(first, last, v, base);
    if (r.ec != std::errc() || r.ptr != last) return std::nullopt;
    return v;
}

bool is_guid(const std::string &g) {
    if (g.size() != 36) return false;
    for (std::size_t i = 0; i < g.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? g[i] != '-' : !std::isxdigit(static_cast<unsigned char>(g[i]))) return false;
    }
    return true;
}

std::string hex_tag(unsigned tag) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", tag);
    return buf;
}

// One value of a base type, canonical, or nullopt when it does not fit.
std::optional<std::string> canonical_value(const std::string &base, const std::string &v) {
    auto within = [&](std::int64_t lo, std::int64_t hi) -> std::optional<std::string> {
        auto n = parse_int(v);
        if (!n || *n < lo || *n > hi) return std::nullopt;
        return std::to_string(*n);
    };
    if (base == "String") return v;
    if (base == "Boolean") {
        std::string l = lower(v);
        if (l == "true" || l == "1") return "true";
        if (l == "false" || l == "0") return "false";
        return std::nullopt;
    }
    if (base == "Short") return within(std::numeric_limits<std::int16_t>::min(),
                                       std::numeric_limits<std::int16_t>::max());
    if (base == "Integer") return within(std::numeric_limits<std::int32_t>::min(),
                                         std::numeric_limits<std::int32_t>::max());
    if (base == "Long" || base == "Currency")
        return within(std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max());
    if (base == "Double" || base == "Float" || base == "ApplicationTime") {
        char *end = nullptr;
        std::strtod(v.c_str(), &end);
        if (v.empty() || end != v.c_str() + v.size()) return std::nullopt;
        return v;
    }
    if (base == "SystemTime") {
        auto t = parse_ews_time(v);
        if (!t) return std::nullopt;
        return format_ews_time(*t);
    }
    if (base == "Binary") {
        auto bytes = base64_decode_lenient(v);
        if (!bytes) return std::nullopt;
        return base64_encode(*bytes);
    }
    if (base == "CLSID") {
        std::string g = v;
        if (g.size() == 38 && g.front() == '{' && g.back() == '}') g = g.substr(1, 36);
        if (!is_guid(g)) return std::nullopt;
        return lower(g);
    }
    return std::nullopt; // Error, Null, Object: report-only types
}

// ---- properties kept in ItemInfo ---------------------------------------------

struct Mapped {
    const char *id;
    const char *type;
    bool read_only;
    std::optional<std::string> (*get)(const ItemInfo &);
    bool (*set)(ItemInfo &, const std::vector<std::string> &); // false: value out of range
};

std::optional<std::string> opt_time(const std::optional<UnixTime> &t) {
    if (!t) return std::nullopt;
    return format_ews_time(*t);
}

bool set_ranged(int &field, const std::string &v, int lo, int hi) {
    auto n = parse_int(v);
    if (!n || *n < lo || *n > hi) return false;
    field = static_cast<int>(*n);
    return true;
}

const Mapped kMapped[] = {
    {"0xe07", "Integer", false,
     [](const ItemInfo &i) -> std::optional<std::string> { return std::to_string(i.message_flags); },
     [](ItemInfo &i, const std::vector<std::string> &v) {
         i.message_flags = *parse_int(v[0]);
         return true;
     }},
    {"0x17", "Integer", false,
     [](const ItemInfo &i) -> std::optional<std::string> { return std::to_string(i.importance); },
     [](ItemInfo &i, const std::vector<std::string> &v) { return set_ranged(i.importance, v[0], 0, 2); }},
    {"0x36", "Integer", false,
     [](const ItemInfo &i) -> std::optional<std::string> { return std::to_string(i.sensitivity); },
     [](ItemInfo &i, const std::vector<std::string> &v) { return set_ranged(i.sensitivity, v[0], 0, 3); }},
    {"0x1a", "String", false,
     [](const ItemInfo &i) -> std::optional<std::string> { return i.item_class; },
     [](ItemInfo &i, const std::vector<std::string> &v) {
         i.item_class = v[0];
         return true;
     }},
    {"0x37", "String", false,
     [](const ItemInfo &i) -> std::optional<std::string> { return i.subject; },
     [](ItemInfo &i, const std::vector<std::string> &v) {
         i.subject = v[0];
         return true;
     }},
    {"0x1035", "String", false,
     [](const ItemInfo &i) -> std::optional<std::string> {
         if (i.message_id.empty()) return std::nullopt;
         return i.message_id;
     },
     [](ItemInfo &i, const std::vector<std::string> &v) {
         i.message_id = v[0];
         return true;
     }},
    {"0x39", "SystemTime", false, [](const ItemInfo &i) { return opt_time(i.date_sent); },
     [](ItemInfo &i, const std::vector<std::string> &v) {
         i.date_sent = parse_ews_time(v[0]);
         return true;
     }},
    {"0xe06", "SystemTime", false,
     [](const ItemInfo &i) { return opt_time(i.date_received); },
     [](ItemInfo &i, const std::vector<std::string> &v) {
         i.date_received = *parse_ews_time(v[0]);
         return true;
     }},
    {"0x3007", "SystemTime", false,
     [](const ItemInfo &i) { return opt_time(i.date_created); },
     [](ItemInfo &i, const std::vector<std::string> &v) {
         i.date_created = *parse_ews_time(v[0]);
         return true;
     }},
    {"0x3008", "SystemTime", true, [](const ItemInfo &i) { return opt_time(i.last_modified); },
     nullptr},
    {"0xe08", "Integer", true,
     [](const ItemInfo &i) -> std::optional<std::string> { return std::to_string(i.size); }, nullptr},
    {"0xe1b", "Boolean", true,
     [](const ItemInfo &i) -> std::optional<std::string> {
         return std::string(i.has_attachments ? "true" : "false");
     },
     nullptr},
};

constexpr const char *kKeywordsId = "PublicStrings:name:Keywords"; // the categories

const Mapped *find_mapped(const std::string &id) {
    for (const auto &m : kMapped)
        if (id == m.id) return &m;
    return nullptr;
}

} // namespace

bool is_array_type(const std::string &type) {
    return type.size() > 5 && type.compare(type.size() - 5, 5, "Array") == 0;
}

std::optional<PropPath> parse_prop_path(xmlNodePtr uri, EwsError &error) {
    PropPath p;
    p.type = attribute(uri, "PropertyType").value_or("");
    auto tag = attribute(uri, "PropertyTag");
    auto dset = attribute(uri, "DistinguishedPropertySetId");
    auto gset = attribute(uri, "PropertySetId");
    auto pid = attribute(uri, "PropertyId");
    auto pname = attribute(uri, "PropertyName");
    auto invalid = [&](const char *code) -> std::optional<PropPath> {
        error = ews_error(code);
        return std::nullopt;
    };
    if (p.type.empty()) return invalid("ErrorInvalidExtendedProperty");
    if (tag) {
        if (dset || gset || pid || pname) return invalid("ErrorInvalidExtendedProperty");
        bool hex = tag->size() > 2 && (*tag)[0] == '0' && ((*tag)[1] == 'x' || (*tag)[1] == 'X');
        auto n = parse_int(*tag, hex ? 16 : 10);
        if (!n || *n < 0 || *n > 0xffff) return invalid("ErrorInvalidExtendedProperty");
        if (*n >= kCustomRangeStart) return invalid("ErrorNoPropertyTagForCustomProperties");
        p.key_attr = "PropertyTag";
        p.key_value = hex_tag(static_cast<unsigned>(*n));
        p.id = p.key_value;
        return p;
    }
    if ((dset ? 1 : 0) + (gset ? 1 : 0) != 1 || (pid ? 1 : 0) + (pname ? 1 : 0) != 1)
        return invalid("ErrorInvalidExtendedProperty");
    if (gset && !is_guid(lower(*gset))) return invalid("ErrorInvalidExtendedProperty");
    p.set_attr = dset ? "DistinguishedPropertySetId" : "PropertySetId";
    p.set_value = dset ? *dset : *gset;
    if (pid) {
        bool hex = pid->size() > 2 && (*pid)[0] == '0' && ((*pid)[1] == 'x' || (*pid)[1] == 'X');
        auto n = parse_int(*pid, hex ? 16 : 10);
        if (!n || *n < 0 || *n > 0xffffffffLL) return invalid("ErrorInvalidExtendedProperty");
        p.key_attr = "PropertyId";
        p.key_value = std::to_string(*n);
        p.id = set_identity(p.set_attr, p.set_value) + ":id:" + p.key_value;
    } else {
        p.key_attr = "PropertyName";
        p.key_value = *pname;
        p.id = set_identity(p.set_attr, p.set_value) + ":name:" + p.key_value;
    }
    return p;
}

PropPath path_of_stored(const std::string &id, const std::string &type) {
    PropPath p;
    p.id = id;
    p.type = type;
    if (id.rfind("0x", 0) == 0) {
        p.key_attr = "PropertyTag";
        p.key_value = id;
        return p;
    }
    std::size_t a = id.find(':'), b = id.find(':', a + 1);
    std::string set = id.substr(0, a), kind = id.substr(a + 1, b - a - 1);
    if (!set.empty() && set.front() == '{') {
        p.set_attr = "PropertySetId";
        p.set_value = set.substr(1, set.size() - 2);
    } else {
        p.set_attr = "DistinguishedPropertySetId";
        p.set_value = set;
    }
    p.key_attr = kind == "id" ? "PropertyId" : "PropertyName";
    p.key_value = id.substr(b + 1);
    return p;
}

std::optional<ExtendedValue> parse_extended_property(xmlNodePtr prop, EwsError &error) {
    auto path = parse_prop_path(child(prop, "ExtendedFieldURI"), error);
    if (!path) return std::nullopt;
    ExtendedValue v{path->id, path->type, {}};
    bool array = is_array_type(path->type);
    std::string base = array ? path->type.substr(0, path->type.size() - 5) : path->type;
    std::vector<std::string> raw;
    if (xmlNodePtr one = child(prop, "Value")) {
        if (array) {
            error = ews_error("ErrorInvalidExtendedPropertyValue");
            return std::nullopt;
        }
        raw.push_back(node_text(one));
    } else if (xmlNodePtr many = child(prop, "Values")) {
        if (!array) {
            error = ews_error("ErrorInvalidExtendedPropertyValue");
            return std::nullopt;
        }
        for (xmlNodePtr n : children(many, "Value")) raw.push_back(node_text(n));
    }
    if (raw.empty()) {
        error = ews_error("ErrorInvalidExtendedPropertyValue");
        return std::nullopt;
    }
    for (const auto &r : raw) {
        auto c = canonical_value(base, r);
        if (!c) {
            error = ews_error(base == "Error" || base == "Null" || base == "Object"
                                  ? "ErrorInvalidExtendedProperty"
                                  : "ErrorInvalidExtendedPropertyValue");
            return std::nullopt;
        }
        v.values.push_back(std::move(*c));
    }
    return v;
}

std::optional<ExtendedValue> read_property(const StoredItem &item, const PropPath &path) {
    if (const Mapped *m = find_mapped(path.id)) {
        if (path.type != m->type) return std::nullopt;
        auto v = m->get(item.info);
        if (!v) return std::nullopt;
        return ExtendedValue{path.id, path.type, {*v}};
    }
    if (path.id == kKeywordsId) {
        if (path.type != "StringArray" || item.info.categories.empty()) return std::nullopt;
        return ExtendedValue{path.id, path.type, item.info.categories};
    }
    for (const auto &e : item.extended)
        if (e.id == path.id && e.type == path.type) return e;
    return std::nullopt;
}

bool write_property(StoredItem &item, const ExtendedValue &value, EwsError &error) {
    if (const Mapped *m = find_mapped(value.id)) {
        if (value.type != m->type) {
            error = ews_error("ErrorInvalidExtendedProperty",
                              "The property " + value.id + " has type " + m->type + ".");
            return false;
        }
        if (m->read_only || !m->set) {
            error = ews_error("ErrorInvalidPropertySet");
            return false;
        }
        if (!m->set(item.info, value.values)) {
            error = ews_error("ErrorInvalidExtendedPropertyValue");
            return false;
        }
        return true;
    }
    if (value.id == kKeywordsId && value.type == "StringArray") {
        item.info.categories = value.values;
        return true;
    }
    for (auto &e : item.extended) {
        if (e.id == value.id && e.type == value.type) {
            e.values = value.values;
            return true;
        }
    }
    item.extended.push_back(value);
    return true;
}

bool delete_property(StoredItem &item, const PropPath &path, EwsError &error) {
    if (const Mapped *m = find_mapped(path.id)) {
        ItemInfo &i = item.info;
        const ItemInfo defaults;
        if (path.id == "0xe07") i.message_flags = defaults.message_flags;
        else if (path.id == "0x17") i.importance = defaults.importance;
        else if (path.id == "0x36") i.sensitivity = defaults.sensitivity;
        else if (path.id == "0x1a") i.item_class = defaults.item_class;
        else if (path.id == "0x37") i.subject.clear();
        else if (path.id == "0x1035") i.message_id.clear();
        else if (path.id == "0x39") i.date_sent.reset();
        else {
            // Store times and computed values always exist.
            error = ews_error("ErrorInvalidPropertyDelete", "This property cannot be deleted.");
            return false;
        }
        (void)m;
        return true;
    }
    if (path.id == kKeywordsId) {
        item.info.categories.clear();
        return true;
    }
    auto &ext = item.extended;
    ext.erase(std::remove_if(ext.begin(), ext.end(),
                             [&](const ExtendedValue &e) { return e.id == path.id && e.type == path.type; }),
              ext.end());
    return true;
}

StoredItem message_item_from_mime(std::string mime, UnixTime now) {
    StoredItem item;
    item.mime = std::move(mime);
    MimeSummary s = summarize_mime(item.mime);
    ItemInfo &i = item.info;
    i.subject = s.subject;
    if (s.from) {
        i.from_name = s.from->name;
        i.from_address = s.from->address;
    }
    i.display_to = display_list(s.to);
    i.display_cc = display_list(s.cc);
    i.message_id = s.message_id;
    i.date_sent = s.date;
    i.date_received = i.date_created = i.last_modified = now;
    i.message_flags = 0x1 | 0x8; // MSGFLAG_READ | MSGFLAG_UNSENT
    i.importance = s.importance;
    i.sensitivity = s.sensitivity;
    i.has_attachments = s.has_attachments();
    i.size = static_cast<std::int64_t>(item.mime.size());
    return item;
}

void write_field_uri_xml(XmlOut &out, const PropPath &path) {
    out.open("t:ExtendedFieldURI");
    if (!path.set_attr.empty()) out.attr(path.set_attr, path.set_value);
    out.attr(path.key_attr, path.key_value);
    out.attr("PropertyType", path.type);
    out.close();
}

void write_extended_property_xml(XmlOut &out, const PropPath &path, const ExtendedValue &value) {
    out.open("t:ExtendedProperty");
    write_field_uri_xml(out, path);
    if (is_array_type(value.type)) {
        out.open("t:Values");
        for (const auto &v : value.values) out.leaf("t:Value", v);
        out.close();
    } else {
        out.leaf("t:Value", value.values.empty() ? std::string() : value.values.front());
    }
    out.close();
}

const ElementProperty *element_property(const std::string &element) {
    for (const auto &p : kElementProperties)
        if (element == p.element) return &p;
    return nullptr;
}

std::optional<std::string> element_property_value(const StoredItem &item, const char *element) {
    const ElementProperty *p = element_property(element);
    if (!p) return std::nullopt;
    for (const auto &e : item.extended)
        if (e.id == p->id && e.type == p->type && !e.values.empty()) return e.values.front();
    return std::nullopt;
}

bool set_element_property(StoredItem &item, const ElementProperty &p, const std::string &text) {
    std::string trimmed = text;
    while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.back()))) trimmed.pop_back();
    while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.front())))
        trimmed.erase(trimmed.begin());
    auto value = canonical_value(p.type, trimmed);
    if (!value) return false;
    EwsError ignored;
    return write_property(item, ExtendedValue{p.id, p.type, {*value}}, ignored);
}

} // namespace sandbox
