// Small text helpers of the MIME half and the switch look-up of its filters.
#include <algorithm>
#include <cstring>

#include "mime_internal.hpp"

namespace qvcom::mime {

// Length of the UTF-8 sequence that starts at text[i], 0 when it is not a
// well-formed one (overlong forms, surrogates and values above U+10FFFF
// are refused).
static std::size_t utf8_sequence(std::string_view text, std::size_t i)
{
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = b(i);
    if (c < 0x80)
        return 1;
    std::size_t n;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0)
            lo = 0xA0;
        if (c == 0xED)
            hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0)
            lo = 0x90;
        if (c == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > text.size())
        return 0;
    if (b(i + 1) < lo || b(i + 1) > hi)
        return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (b(i + k) < 0x80 || b(i + k) > 0xBF)
            return 0;
    return n;
}

bool is_valid_utf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = utf8_sequence(text, i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

bool is_ascii(std::string_view text)
{
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::size_t utf8_cut(std::string_view text, std::size_t max)
{
    if (text.size() <= max)
        return text.size();
    std::size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return cut;
}

bool copy_out(std::string_view text, char *out, std::size_t capacity)
{
    if (!out || capacity == 0)
        return text.empty();
    const std::size_t n = utf8_cut(text, capacity - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return n == text.size();
}

bool switch_value(const char *name, std::string &value)
{
    // Large enough for a search text or a path in quotes.
    constexpr std::size_t kTokenSize = 2048;
    char token[kTokenSize];
    for (int i = 0; com_GetParm(i, token, sizeof token); ++i) {
        if (std::strcmp(token, name) != 0)
            continue;
        if (!com_GetParm(i + 1, token, sizeof token))
            return false;
        value = token;
        return true;
    }
    return false;
}

} // namespace qvcom::mime
