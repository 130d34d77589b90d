// text_codec.cpp - base64, SHA-256, UTF-8 and date texts of the archive.
#include "text_codec.hpp"

#include <openssl/evp.h>

#include <array>
#include <charconv>
#include <fstream>
#include <memory>

namespace qvmigrate {

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

constexpr std::uint64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kSecondsPerDay = 86'400;
// Days from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kDays1601To1970 = 134'774;

// Howard Hinnant's civil-date algorithms (days relative to 1970-01-01).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civil_from_days(std::int64_t z, std::int64_t &y, unsigned &m, unsigned &d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

bool read_fixed_number(std::string_view text, size_t pos, size_t width, unsigned &out) {
    if (pos + width > text.size())
        return false;
    unsigned value = 0;
    for (size_t i = pos; i < pos + width; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    out = value;
    return true;
}

} // namespace

std::string base64_encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += kBase64Alphabet[(v >> 18) & 63];
        out += kBase64Alphabet[(v >> 12) & 63];
        out += kBase64Alphabet[(v >> 6) & 63];
        out += kBase64Alphabet[v & 63];
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2)
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kBase64Alphabet[(v >> 18) & 63];
        out += kBase64Alphabet[(v >> 12) & 63];
        out += rest == 2 ? kBase64Alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + static_cast<size_t>(k)];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++padding;
                continue;
            }
            if (padding > 0)
                return std::nullopt; // data after padding
            v[k] = base64_value(c);
            if (v[k] < 0)
                return std::nullopt;
        }
        const unsigned bits = (static_cast<unsigned>(v[0]) << 18) |
                              (static_cast<unsigned>(v[1]) << 12) |
                              (static_cast<unsigned>(v[2]) << 6) | static_cast<unsigned>(v[3]);
        out += static_cast<char>((bits >> 16) & 0xff);
        if (padding < 2)
            out += static_cast<char>((bits >> 8) & 0xff);
        if (padding < 1)
            out += static_cast<char>(bits & 0xff);
    }
    return out;
}

struct Sha256Digest::Context {
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> ctx{EVP_MD_CTX_new(), EVP_MD_CTX_free};
};

namespace {

// The implementation is looked up once: with EVP_sha256() every digest
// looks it up again, which costs more than hashing a small part file.
const EVP_MD *sha256_implementation() {
    static EVP_MD *const fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return fetched != nullptr ? fetched : EVP_sha256();
}

} // namespace

Sha256Digest::Sha256Digest() : context_(std::make_unique<Context>()) {
    ok_ = context_->ctx &&
          EVP_DigestInit_ex(context_->ctx.get(), sha256_implementation(), nullptr) == 1;
}

Sha256Digest::~Sha256Digest() = default;

void Sha256Digest::update(const void *data, size_t size) {
    ok_ = ok_ && EVP_DigestUpdate(context_->ctx.get(), data, size) == 1;
}

std::string Sha256Digest::hex() {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned length = 0;
    const bool done = ok_ && EVP_DigestFinal_ex(context_->ctx.get(), digest.data(), &length) == 1;
    ok_ = false;
    if (!done)
        return "";
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

std::string sha256_hex(std::string_view bytes) {
    Sha256Digest digest;
    digest.update(bytes.data(), bytes.size());
    return digest.hex();
}

std::optional<std::string> sha256_file_hex(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    Sha256Digest digest;
    std::array<char, 65536> buffer;
    while (in) {
        in.read(buffer.data(), buffer.size());
        digest.update(buffer.data(), static_cast<size_t>(in.gcount()));
    }
    if (!in.eof())
        return std::nullopt;
    std::string hex = digest.hex();
    if (hex.empty())
        return std::nullopt;
    return hex;
}

bool is_valid_utf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xe0) == 0xc0) {
            extra = 1;
            cp = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            extra = 2;
            cp = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size())
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            const auto cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xc0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3f);
        }
        static constexpr std::uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kSmallest[extra] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
            return false;
        i += extra + 1;
    }
    return true;
}

std::string filetime_to_iso(qv_filetime date) {
    const std::uint64_t seconds = date / kTicksPerSecond;
    const auto fraction = static_cast<unsigned>(date % kTicksPerSecond);
    const auto days = static_cast<std::int64_t>(seconds / kSecondsPerDay);
    const auto in_day = static_cast<unsigned>(seconds % kSecondsPerDay);
    std::int64_t year = 0;
    unsigned month = 0, day = 0;
    civil_from_days(days - kDays1601To1970, year, month, day);
    char text[48];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02u.%07uZ",
                  static_cast<long long>(year), month, day, in_day / 3600, in_day / 60 % 60,
                  in_day % 60, fraction);
    return text;
}

std::optional<qv_filetime> iso_to_filetime(std::string_view text) {
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, fraction = 0;
    if (!read_fixed_number(text, 0, 4, year) || text.size() < 10 || text[4] != '-' ||
        !read_fixed_number(text, 5, 2, month) || text[7] != '-' ||
        !read_fixed_number(text, 8, 2, day))
        return std::nullopt;
    if (text.size() > 10) {
        if (text.size() < 20 || text[10] != 'T' || text[13] != ':' || text[16] != ':' ||
            !read_fixed_number(text, 11, 2, hour) || !read_fixed_number(text, 14, 2, minute) ||
            !read_fixed_number(text, 17, 2, second))
            return std::nullopt;
        std::string_view rest = text.substr(19);
        if (!rest.empty() && rest.front() == '.') {
            if (rest.size() != 9 || !read_fixed_number(rest, 1, 7, fraction))
                return std::nullopt;
            rest.remove_prefix(8);
        }
        if (rest != "Z")
            return std::nullopt;
    }
    if (year < 1601 || month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 ||
        second > 59)
        return std::nullopt;
    const std::int64_t days = days_from_civil(year, month, day) + kDays1601To1970;
    std::int64_t y_check = 0;
    unsigned m_check = 0, d_check = 0;
    civil_from_days(days - kDays1601To1970, y_check, m_check, d_check);
    if (m_check != month || d_check != day)
        return std::nullopt; // 31 February and the like
    const auto seconds = static_cast<std::uint64_t>(days) * kSecondsPerDay + hour * 3600u +
                         minute * 60u + second;
    return seconds * kTicksPerSecond + fraction;
}

std::optional<std::uint64_t> parse_decimal_u64(std::string_view text) {
    std::uint64_t value = 0;
    if (text.empty() || text.front() == '+' || text.front() == '-')
        return std::nullopt;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

} // namespace qvmigrate
