// Text helpers of the header parsers.
#include "mailread/header_text.hpp"

#include <cctype>
#include <cstring>
#include <vector>

#include "mailread/parser_limits.hpp"
#include "qv/qvcom.h"
#include "common/hex.hpp"
#include "common/text_case.hpp"

namespace qvamz::mailread {
namespace {

// Runs a common-library routine that edits a C string in place.
std::string in_place(std::string text, char *(*routine)(char *))
{
    text.push_back('\0');
    routine(text.data());
    text.resize(std::strlen(text.c_str()));
    return text;
}

// "charset'language'%XX..." of an RFC 2231 extended value: the charset and
// the undecoded rest.
std::string_view split_extended(std::string_view value, std::string &charset)
{
    const std::size_t first = value.find('\'');
    const std::size_t second =
        first == std::string_view::npos ? first : value.find('\'', first + 1);
    if (second == std::string_view::npos)
        return value;
    charset.assign(value.substr(0, first));
    return value.substr(second + 1);
}

// The RFC 2231 forms of a parameter (key*0, key*1, ... and key*=charset''..),
// decoded, or nothing.  `key` is matched anywhere, so "NAME" also finds
// "filename".
std::optional<std::string> rfc2231_param(std::string_view line, std::string_view key,
                                         std::size_t max, int max_pieces)
{
    const std::size_t raw_max = max * 3; // before percent-decoding
    std::string charset, joined;
    bool found = false;
    for (int k = 0; k < max_pieces; ++k) {
        const std::string piece_key = std::string(key) + "*" + std::to_string(k);
        std::string piece;
        if (auto ext = TextAfter(line, piece_key + "*=", ";", raw_max)) {
            std::string_view value = *ext = RemoveQuotes(*ext);
            if (k == 0)
                value = split_extended(value, charset);
            piece = qvcommon::PercentDecoded(value);
        } else if (auto plain = TextAfter(line, piece_key + "=", ";", raw_max)) {
            piece = RemoveQuotes(*plain);
        } else if (k == 0) {
            break;
        } else {
            continue;
        }
        found = true;
        joined += piece;
    }
    if (!found) {
        auto single = TextAfter(line, std::string(key) + "*=", ";", raw_max);
        if (!single)
            return std::nullopt;
        const std::string value = RemoveQuotes(*single);
        joined = qvcommon::PercentDecoded(split_extended(value, charset));
    }
    if (!charset.empty())
        joined = CharsetToUtf8(joined, charset);
    return Cut(joined, max);
}

// Parameters may be written with blanks around "="; outside quoted
// strings they are dropped, so that "boundary = x" reads like "boundary=x".
std::string without_blanks_around_equals(std::string_view line)
{
    std::string out;
    out.reserve(line.size());
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"')
            quoted = !quoted;
        if (!quoted && (c == ' ' || c == '\t')) {
            const std::size_t next = line.find_first_not_of(" \t", i);
            if ((next != std::string_view::npos && line[next] == '=') ||
                (!out.empty() && out.back() == '='))
                continue;
        }
        out.push_back(c);
    }
    return out;
}

} // namespace

bool EqualsOverCI(std::string_view text, std::string_view pattern, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        const char a = i < text.size() ? qvcommon::AsciiLower(text[i]) : '\0';
        const char b = i < pattern.size() ? qvcommon::AsciiLower(pattern[i]) : '\0';
        if (a != b)
            return false;
        if (a == '\0')
            return true;
    }
    return true;
}

std::string Cut(std::string_view text, std::size_t max)
{
    if (text.size() <= max)
        return std::string(text);
    std::size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return std::string(text.substr(0, cut));
}

std::string RemoveQuotes(std::string text)
{
    return in_place(std::move(text), com_Remove_Quotes);
}

std::string RTrim(std::string text)
{
    return in_place(std::move(text), com_rtrim);
}

std::string DelSpaces(std::string text)
{
    return in_place(std::move(text), com_delspaces);
}

std::string DecodeIso(std::string_view text, int &codepage)
{
    // Decoded text is at most twice as long as encoded text (one byte of a
    // Q word may become a three-byte character).
    std::vector<char> buf(text.size() * 3 + 16, '\0');
    std::memcpy(buf.data(), text.data(), text.size());
    codepage = com_Decode_iso(buf.data(), buf.size(), 0);
    return std::string(buf.data());
}

std::string CodepageToUtf8(std::string_view text, int codepage)
{
    std::vector<char> buf(text.size() * 4 + 16, '\0');
    std::memcpy(buf.data(), text.data(), text.size());
    if (!com_CodepageToWindows(buf.data(), buf.size(), codepage, 65001))
        return std::string(text);
    return std::string(buf.data());
}

std::string CharsetToUtf8(std::string_view text, std::string_view charset)
{
    std::vector<char> buf(text.size() * 4 + 16, '\0');
    std::memcpy(buf.data(), text.data(), text.size());
    const std::string name(charset);
    com_CharsetToUTF8(name.c_str(), buf.data(), buf.size());
    return std::string(buf.data());
}

std::string HeaderValue(std::string_view line)
{
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return {};
    std::size_t i = colon + 1;
    if (i < line.size() && line[i] == ';')
        ++i;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
        ++i;
    return std::string(line.substr(i));
}

std::optional<std::string> TextAfter(std::string_view line, std::string_view key,
                                     std::string_view stops, std::size_t max)
{
    const std::size_t at = qvcommon::FindNoCase(line, key);
    if (at == std::string_view::npos)
        return std::nullopt;
    std::string_view value = line.substr(at + key.size());
    value = value.substr(0, value.find_first_of(stops));
    return Cut(value, max);
}

std::optional<std::string> BoundaryParam(std::string_view raw_line)
{
    const std::string line = without_blanks_around_equals(raw_line);
    auto value = TextAfter(line, "boundary=", ";", kLineMax);
    if (!value) {
        if (auto pieces = rfc2231_param(line, "boundary", kBoundaryMax, kMaxParamPieces))
            return RTrim(*pieces);
        return std::nullopt;
    }
    const std::size_t start = value->find_first_not_of(" \t");
    return RemoveQuotes(RTrim(start == std::string::npos ? std::string() : value->substr(start)));
}

std::optional<std::string> NameParam(std::string_view line, std::size_t max)
{
    std::optional<std::string> name = rfc2231_param(line, "NAME", max, kMaxNamePieces);
    if (auto plain = TextAfter(line, "NAME=", ";", max))
        name = RemoveQuotes(*plain);
    if (auto quoted = TextAfter(line, "NAME=\"", "\"", max))
        name = *quoted;
    return name;
}

std::optional<std::string> CharsetParam(std::string_view raw_line, std::size_t max)
{
    const std::string line = without_blanks_around_equals(raw_line);
    if (auto plain = TextAfter(line, "charset=", ";", max))
        return plain;
    return rfc2231_param(line, "charset", max, kMaxParamPieces);
}

std::string MediaTypeOf(std::string_view line)
{
    std::string value = HeaderValue(line);
    value = value.substr(0, value.find_first_of("; \t("));
    for (char &c : value)
        c = qvcommon::AsciiLower(c);
    return value;
}

std::string ContentIdOf(std::string_view line)
{
    constexpr std::size_t kValueStart = 11; // the 12th character: after "Content-ID:"
    if (line.size() <= kValueStart)
        return {};
    std::string_view value = line.substr(kValueStart);
    while (!value.empty() && (value[0] == ' ' || value[0] == '<'))
        value.remove_prefix(1);
    value = value.substr(0, kContentIdMax);
    const std::size_t close = value.find('>');
    value = value.substr(0, close != std::string_view::npos ? close : value.find(' '));
    return std::string(value);
}

long long LeadingNumber(std::string_view text, int base)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    long long value = 0;
    for (; i < text.size(); ++i) {
        const int d = qvcommon::HexDigitValue(text[i]);
        if (d < 0 || d >= base || value > (1LL << 40))
            break;
        value = value * base + d;
    }
    return value;
}

} // namespace qvamz::mailread
