// Distribution list members as Exchange keeps them (one-off entry ids in
// PidLidDistributionListOneOffMembers / PidLidDistributionListMembers) and
// the list's MIME content: one application/ms-tnef part.
#include <cstdint>
#include <cstring>

#include "contact_item.hpp"
#include "contact_props.hpp"
#include "mime_build.hpp"

namespace sandbox {

namespace {

// The one-off address book provider's UID (MAPI's MUIDOOP).
constexpr unsigned char kOneOffProvider[16] = {0x81, 0x2b, 0x1f, 0xa4, 0xbe, 0xa3, 0x10, 0x19,
                                               0x9d, 0x6e, 0x00, 0xdd, 0x01, 0x0f, 0x54, 0x02};
// PSETID_Address {00062004-0000-0000-C000-000000000046} in its binary form.
constexpr unsigned char kPsetidAddress[16] = {0x04, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00,
                                              0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr std::uint16_t kUnicodeNoRichInfo = 0x8001;

void put16(std::string &out, std::uint32_t v) {
    out += static_cast<char>(v & 0xff);
    out += static_cast<char>((v >> 8) & 0xff);
}

void put32(std::string &out, std::uint32_t v) {
    put16(out, v & 0xffff);
    put16(out, v >> 16);
}

std::uint32_t get16(const std::string &s, std::size_t at) {
    return static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8;
}

// UTF-8 to UTF-16LE, NUL-terminated; invalid bytes become U+FFFD.
std::string utf16z(const std::string &utf8) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        std::uint32_t cp = 0xfffd;
        std::size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 1) cp = c;
        else if (len && i + len <= utf8.size()) {
            cp = c & (0xff >> (len + 1));
            for (std::size_t k = 1; k < len; ++k) cp = cp << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3f);
        }
        i += len ? len : 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put16(out, 0xd800 | (cp >> 10));
            put16(out, 0xdc00 | (cp & 0x3ff));
        } else {
            put16(out, cp);
        }
    }
    put16(out, 0);
    return out;
}

void append_utf8(std::string &out, std::uint32_t cp) {
    if (cp < 0x80) out += static_cast<char>(cp);
    else if (cp < 0x800) {
        out += static_cast<char>(0xc0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xe0 | cp >> 12);
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | cp >> 18);
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    }
}

// A NUL-terminated string at `at`, UTF-16LE or 8-bit; nullopt when it runs
// off the end.
std::optional<std::string> read_string(const std::string &b, std::size_t &at, bool unicode) {
    std::string out;
    while (true) {
        if (at + (unicode ? 2 : 1) > b.size()) return std::nullopt;
        if (!unicode) {
            char c = b[at++];
            if (!c) return out;
            out += c;
            continue;
        }
        std::uint32_t u = get16(b, at);
        at += 2;
        if (!u) return out;
        if (u >= 0xd800 && u < 0xdc00 && at + 2 <= b.size()) {
            std::uint32_t low = get16(b, at);
            if (low >= 0xdc00 && low < 0xe000) {
                at += 2;
                u = 0x10000 + ((u - 0xd800) << 10) + (low - 0xdc00);
            }
        }
        append_utf8(out, u >= 0xd800 && u < 0xe000 ? 0xfffd : u);
    }
}

// One TNEF attribute: level, id, length, data, checksum (sum of the data
// bytes modulo 65536).
void put_attribute(std::string &out, std::uint8_t level, std::uint32_t id, const std::string &data) {
    out += static_cast<char>(level);
    put32(out, id);
    put32(out, static_cast<std::uint32_t>(data.size()));
    out += data;
    std::uint32_t sum = 0;
    for (unsigned char c : data) sum += c;
    put16(out, sum & 0xffff);
}

void pad4(std::string &out) {
    while (out.size() % 4) out += '\0';
}

// A single-valued PT_UNICODE property: tag, count 1, byte length, text, padding.
void put_unicode_prop(std::string &props, std::uint32_t tag, const std::string &utf8) {
    std::string text = utf16z(utf8);
    put32(props, tag);
    put32(props, 1);
    put32(props, static_cast<std::uint32_t>(text.size()));
    props += text;
    pad4(props);
}

// The tag and name of a PSETID_Address named property (MNID_ID); `mapped`
// is the id the stream gives it.
void put_named_header(std::string &props, std::uint16_t type, std::uint16_t mapped, std::uint32_t lid) {
    put16(props, type);
    put16(props, mapped);
    props.append(reinterpret_cast<const char *>(kPsetidAddress), 16);
    put32(props, 0); // MNID_ID
    put32(props, lid);
}

void put_binary_array(std::string &props, std::uint16_t mapped, std::uint32_t lid,
                      const std::vector<std::string> &values) {
    put_named_header(props, 0x1102, mapped, lid); // PT_MV_BINARY
    put32(props, static_cast<std::uint32_t>(values.size()));
    for (const auto &v : values) {
        put32(props, static_cast<std::uint32_t>(v.size()));
        props += v;
        pad4(props);
    }
}

} // namespace

std::string encode_one_off_entry(const ListMember &m) {
    std::string out;
    put32(out, 0); // flags
    out.append(reinterpret_cast<const char *>(kOneOffProvider), 16);
    put16(out, 0); // version
    put16(out, kUnicodeNoRichInfo);
    out += utf16z(m.name.empty() ? m.address : m.name);
    out += utf16z(m.routing_type);
    out += utf16z(m.address);
    return out;
}

std::optional<ListMember> decode_one_off_entry(const std::string &b) {
    if (b.size() < 24 || std::memcmp(b.data() + 4, kOneOffProvider, 16) != 0) return std::nullopt;
    const bool unicode = (get16(b, 22) & 0x8000) != 0;
    std::size_t at = 24;
    auto name = read_string(b, at, unicode);
    auto type = name ? read_string(b, at, unicode) : std::nullopt;
    auto address = type ? read_string(b, at, unicode) : std::nullopt;
    if (!address) return std::nullopt;
    ListMember m;
    m.name = *name;
    m.routing_type = *type;
    m.address = *address;
    return m;
}

std::vector<ListMember> list_members(const StoredItem &list) {
    auto entries = contact_values(list, kOneOffMembersId);
    if (entries.empty()) entries = contact_values(list, kMembersId);
    auto types = contact_values(list, kMemberTypesId);
    std::vector<ListMember> out;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        auto bytes = base64_decode_lenient(entries[i]);
        auto member = bytes ? decode_one_off_entry(*bytes) : std::nullopt;
        if (!member) continue; // an entry of another provider: not a member the sandbox can show
        if (i < types.size() && entries.size() == types.size()) member->mailbox_type = types[i];
        out.push_back(std::move(*member));
    }
    return out;
}

void set_list_members(StoredItem &list, const std::vector<ListMember> &members) {
    std::vector<std::string> entries, types;
    for (const auto &m : members) {
        entries.push_back(base64_encode(encode_one_off_entry(m)));
        types.push_back(m.mailbox_type);
    }
    set_contact_values(list, kOneOffMembersId, "BinaryArray", entries);
    set_contact_values(list, kMembersId, "BinaryArray", entries);
    set_contact_values(list, kMemberTypesId, "StringArray", types);
}

// Signature, key, attTnefVersion, attMessageClass, attPriority, then
// attMsgProps with PR_MESSAGE_CLASS_W and PR_DISPLAY_NAME_W first, so the
// list name's length always sits at byte 119, followed by the one-off
// members (the layout readers that walk the stream at fixed offsets use).
std::string list_tnef(const StoredItem &list) {
    std::string out;
    put32(out, 0x223e9f78);                              // TNEF signature
    put16(out, static_cast<std::uint32_t>(list.info.id & 0xffff) | 1); // legacy key
    put_attribute(out, 1, 0x00089006, std::string("\0\0\1\0", 4)); // attTnefVersion 0x00010000
    put_attribute(out, 1, 0x00078008, std::string("IPM.DistList\0", 13)); // attMessageClass
    put_attribute(out, 1, 0x0004800d, std::string("\2\0", 2));           // attPriority normal

    std::vector<std::string> entries;
    for (const auto &m : list_members(list)) entries.push_back(encode_one_off_entry(m));
    const std::string name = contact_text(list, "0x3001").value_or(list.info.subject);
    std::string props;
    put32(props, 6); // property count
    put_unicode_prop(props, 0x001a001f, "IPM.DistList"); // PR_MESSAGE_CLASS_W
    put_unicode_prop(props, 0x3001001f, name);           // PR_DISPLAY_NAME_W
    put_binary_array(props, 0x8054, 0x8054, entries);    // PidLidDistributionListOneOffMembers
    put_binary_array(props, 0x8055, 0x8055, entries);    // PidLidDistributionListMembers
    put_named_header(props, 0x001f, 0x8053, 0x8053);     // PidLidDistributionListName
    std::string text = utf16z(name);
    put32(props, 1);
    put32(props, static_cast<std::uint32_t>(text.size()));
    props += text;
    pad4(props);
    put_named_header(props, 0x001f, 0x8005, 0x8005);     // PidLidFileUnder
    text = utf16z(contact_text(list, "Address:id:32773").value_or(name));
    put32(props, 1);
    put32(props, static_cast<std::uint32_t>(text.size()));
    props += text;
    pad4(props);
    put_attribute(out, 1, 0x00069003, props); // attMsgProps
    return out;
}

std::string list_mime(const StoredItem &list, const std::string &owner_address) {
    const std::string name = contact_text(list, "0x3001").value_or(list.info.subject);
    std::string mime = "From: " + format_address({"", owner_address}) + "\r\n";
    mime += "Subject: " + encode_header_text(name) + "\r\n";
    mime += "Date: " + rfc5322_date(list.info.date_created) + "\r\n";
    mime += "MIME-Version: 1.0\r\n";
    mime += "Content-Type: application/ms-tnef; name=\"winmail.dat\"\r\n";
    mime += "Content-Transfer-Encoding: base64\r\n";
    mime += "Content-Disposition: attachment; filename=\"winmail.dat\"\r\n\r\n";
    const std::string b64 = base64_encode(list_tnef(list));
    for (std::size_t i = 0; i < b64.size(); i += 76) mime += b64.substr(i, 76) + "\r\n";
    return mime;
}

} // namespace sandbox
