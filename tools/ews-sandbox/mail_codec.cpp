#include "mail_codec.hpp"

#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "crypto_util.hpp"

namespace sandbox {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Each byte's value in base64, or what else it is to the lenient decoder.
constexpr int kInvalid = -1, kBlank = -2, kPad = -3;
constexpr std::array<signed char, 256> make_decode_table() {
    std::array<signed char, 256> table{};
    for (auto &value : table) value = kInvalid;
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
    for (char blank : {' ', '\t', '\r', '\n'}) table[static_cast<unsigned char>(blank)] = kBlank;
    table['='] = kPad;
    return table;
}
constexpr std::array<signed char, 256> kDecode = make_decode_table();

// Two base64 characters for each 12-bit value: a group of three bytes is
// two lookups instead of four.
constexpr std::array<char, 2 * 4096> make_pair_table() {
    std::array<char, 2 * 4096> table{};
    for (int v = 0; v < 4096; ++v) {
        table[2 * v] = kAlphabet[v >> 6];
        table[2 * v + 1] = kAlphabet[v & 63];
    }
    return table;
}
constexpr std::array<char, 2 * 4096> kPairs = make_pair_table();

void put_be(std::string &out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

std::uint64_t get_be(std::string_view in, std::size_t at, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | static_cast<unsigned char>(in[at + i]);
    return v;
}

// Parses exactly `width` digits at text[pos].
std::optional<int> digits(std::string_view text, std::size_t pos, std::size_t width) {
    if (pos + width > text.size()) return std::nullopt;
    int v = 0;
    for (std::size_t i = 0; i < width; ++i) {
        char c = text[pos + i];
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

constexpr std::size_t kIdPayload = 17;    // kind 1, mailbox 4, object 8, sub 4
constexpr std::size_t kIdCheck = 7;       // 24 bytes in all: 32 base64 characters
constexpr unsigned char kChangeKeyTag[4] = {0x09, 0x00, 0x00, 0x00}; // "CQAAA..."
constexpr std::size_t kChangeKeyCheck = 4;

} // namespace

std::string base64_encode(std::string_view bytes, std::size_t line_length) {
    std::string out;
    base64_append(out, bytes, line_length);
    return out;
}

void base64_append(std::string &out, std::string_view bytes, std::size_t line_length) {
    // Encoded into a buffer of the final size: MIME content of every item
    // listed goes through here, so no character is appended one by one.
    const std::size_t chars = (bytes.size() + 2) / 3 * 4;
    const std::size_t breaks = line_length && chars ? (chars - 1) / line_length : 0;
    const std::size_t start = out.size();
    out.resize(start + chars + 2 * breaks);
    char *to = out.data() + start;
    std::size_t column = 0;
    auto emit = [&](char c) {
        if (line_length && column == line_length) {
            *to++ = '\r';
            *to++ = '\n';
            column = 0;
        }
        *to++ = c;
        ++column;
    };
    std::size_t i = 0;
    const auto *in = reinterpret_cast<const unsigned char *>(bytes.data());
    if (!line_length) { // one line: MimeContent in answers
        for (; i + 2 < bytes.size(); i += 3, to += 4) {
            const unsigned v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
            std::memcpy(to, &kPairs[2 * (v >> 12)], 2);
            std::memcpy(to + 2, &kPairs[2 * (v & 0xfff)], 2);
        }
    }
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
        if (!line_length || column + 4 <= line_length) {
            to[0] = kAlphabet[(v >> 18) & 63];
            to[1] = kAlphabet[(v >> 12) & 63];
            to[2] = kAlphabet[(v >> 6) & 63];
            to[3] = kAlphabet[v & 63];
            to += 4;
            column += 4;
            continue;
        }
        emit(kAlphabet[(v >> 18) & 63]);
        emit(kAlphabet[(v >> 12) & 63]);
        emit(kAlphabet[(v >> 6) & 63]);
        emit(kAlphabet[v & 63]);
    }
    if (i < bytes.size()) {
        unsigned v = in[i] << 16;
        const bool two = i + 1 < bytes.size();
        if (two) v |= in[i + 1] << 8;
        emit(kAlphabet[(v >> 18) & 63]);
        emit(kAlphabet[(v >> 12) & 63]);
        emit(two ? kAlphabet[(v >> 6) & 63] : '=');
        emit('=');
    }
}

std::optional<std::string> base64_decode_lenient(std::string_view text) {
    // Every decoded byte needs a whole group of four characters.
    std::string out(text.size() / 4 * 3, '\0');
    char *to = out.data();
    unsigned group = 0;
    int count = 0;   // characters in the current group
    int padding = 0; // '=' seen; only blanks may follow the group they end
    const auto *at = reinterpret_cast<const unsigned char *>(text.data());
    const auto *end = at + text.size();
    while (at < end) {
        // Most of a MIME body is whole groups of four between line breaks.
        if (count == 0 && padding == 0 && end - at >= 4) {
            const int a = kDecode[at[0]], b = kDecode[at[1]], c = kDecode[at[2]], d = kDecode[at[3]];
            if ((a | b | c | d) >= 0) {
                const unsigned v = (unsigned(a) << 18) | (unsigned(b) << 12) | (unsigned(c) << 6) | unsigned(d);
                to[0] = static_cast<char>((v >> 16) & 0xff);
                to[1] = static_cast<char>((v >> 8) & 0xff);
                to[2] = static_cast<char>(v & 0xff);
                to += 3;
                at += 4;
                continue;
            }
        }
        const int v = kDecode[*at++];
        if (v == kBlank) continue;
        if (v == kPad) {
            if (count < 2 || ++padding + count > 4) return std::nullopt;
            if (padding + count == 4) {
                if (count == 2) {
                    *to++ = static_cast<char>((group >> 4) & 0xff);
                } else {
                    *to++ = static_cast<char>((group >> 10) & 0xff);
                    *to++ = static_cast<char>((group >> 2) & 0xff);
                }
                count = 0;
                group = 0;
            }
            continue;
        }
        if (padding || v < 0) return std::nullopt;
        group = (group << 6) | static_cast<unsigned>(v);
        if (++count == 4) {
            *to++ = static_cast<char>((group >> 16) & 0xff);
            *to++ = static_cast<char>((group >> 8) & 0xff);
            *to++ = static_cast<char>(group & 0xff);
            group = 0;
            count = 0;
        }
    }
    if (count != 0) return std::nullopt; // unpadded tail
    out.resize(static_cast<std::size_t>(to - out.data()));
    return out;
}

std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::string format_ews_time(UnixTime t) {
    std::int64_t days = t / 86400;
    std::int64_t secs = t % 86400;
    if (secs < 0) {
        secs += 86400;
        --days;
    }
    // civil_from_days
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02d:%02d:%02dZ", static_cast<long long>(y), m,
                  d, static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60),
                  static_cast<int>(secs % 60));
    return buf;
}

std::optional<UnixTime> parse_ews_time(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    auto y = digits(text, 0, 4), mo = digits(text, 5, 2), d = digits(text, 8, 2);
    auto h = digits(text, 11, 2), mi = digits(text, 14, 2), s = digits(text, 17, 2);
    if (!y || !mo || !d || !h || !mi || !s || text[4] != '-' || text[7] != '-' ||
        text[10] != 'T' || text[13] != ':' || text[16] != ':')
        return std::nullopt;
    if (*mo < 1 || *mo > 12 || *d < 1 || *d > 31 || *h > 24 || *mi > 59 || *s > 60)
        return std::nullopt;
    std::size_t pos = 19;
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        std::size_t start = pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
        if (pos == start) return std::nullopt;
    }
    int offset = 0;
    if (pos < text.size()) {
        if (text[pos] == 'Z') {
            ++pos;
        } else if (text[pos] == '+' || text[pos] == '-') {
            auto oh = digits(text, pos + 1, 2), om = digits(text, pos + 4, 2);
            if (!oh || !om || text[pos + 3] != ':' || *oh > 14 || *om > 59) return std::nullopt;
            offset = (*oh * 60 + *om) * 60 * (text[pos] == '-' ? -1 : 1);
            pos += 6;
        }
    }
    if (pos != text.size()) return std::nullopt;
    return days_from_civil(*y, static_cast<unsigned>(*mo), static_cast<unsigned>(*d)) * 86400 +
           *h * 3600 + *mi * 60 + *s - offset;
}

std::string IdCodec::check(std::string_view payload, std::size_t length) const {
    std::string keyed = secret_;
    keyed.append(payload);
    return sha256_raw(keyed).substr(0, length);
}

std::string IdCodec::encode(const ObjectRef &ref) const {
    std::string raw;
    raw.push_back(static_cast<char>(ref.kind));
    put_be(raw, static_cast<std::uint64_t>(ref.mailbox), 4);
    put_be(raw, static_cast<std::uint64_t>(ref.object), 8);
    put_be(raw, ref.sub, 4);
    raw += check(raw, kIdCheck);
    return base64_encode(raw);
}

std::optional<ObjectRef> IdCodec::decode(std::string_view id) const {
    if (id.size() != 32) return std::nullopt;
    auto raw = base64_decode_lenient(id);
    if (!raw || raw->size() != kIdPayload + kIdCheck) return std::nullopt;
    std::string_view bytes(*raw);
    if (!constant_time_equal(bytes.substr(kIdPayload), check(bytes.substr(0, kIdPayload), kIdCheck)))
        return std::nullopt;
    ObjectRef ref;
    auto kind = static_cast<IdKind>(bytes[0]);
    if (kind != IdKind::Folder && kind != IdKind::Item && kind != IdKind::Attachment)
        return std::nullopt;
    ref.kind = kind;
    ref.mailbox = static_cast<std::int64_t>(get_be(bytes, 1, 4));
    ref.object = static_cast<std::int64_t>(get_be(bytes, 5, 8));
    ref.sub = static_cast<std::uint32_t>(get_be(bytes, 13, 4));
    return ref;
}

std::string IdCodec::change_key(const ObjectRef &ref, std::int64_t version) const {
    std::string raw(reinterpret_cast<const char *>(kChangeKeyTag), sizeof kChangeKeyTag);
    put_be(raw, static_cast<std::uint64_t>(version), 4);
    std::string signed_part = encode(ref);
    signed_part.append(raw);
    raw += check(signed_part, kChangeKeyCheck);
    return base64_encode(raw);
}

std::optional<std::int64_t> IdCodec::change_key_version(const ObjectRef &ref,
                                                         std::string_view key) const {
    auto raw = base64_decode_lenient(key);
    if (!raw || raw->size() != sizeof kChangeKeyTag + 4 + kChangeKeyCheck) return std::nullopt;
    std::string_view bytes(*raw);
    if (bytes.substr(0, 4) != std::string_view(reinterpret_cast<const char *>(kChangeKeyTag), 4))
        return std::nullopt;
    std::string signed_part = encode(ref);
    signed_part.append(bytes.substr(0, 8));
    if (!constant_time_equal(bytes.substr(8), check(signed_part, kChangeKeyCheck)))
        return -1; // a well-formed key of some other object: never current
    return static_cast<std::int64_t>(get_be(bytes, 4, 4));
}

} // namespace sandbox
