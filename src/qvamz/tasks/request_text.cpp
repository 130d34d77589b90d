#include "tasks/request_text.hpp"

#include "common/xml_escape.hpp"

namespace qvamz::tasks {
namespace {

// Length of the UTF-8 sequence at `at` and its code point; 0 when the bytes
// there are no valid sequence (overlong forms and surrogates included).
std::size_t DecodeUtf8(std::string_view text, std::size_t at, char32_t &code)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3
                                         : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || at + length > text.size())
        return 0;
    code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

bool AllowedInXml(char32_t c)
{
    if (c < 0x20)
        return c == '\t' || c == '\n' || c == '\r';
    return c != 0xFFFE && c != 0xFFFF;
}

} // namespace

std::string XmlCleanText(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        char32_t code = 0;
        const std::size_t length = DecodeUtf8(text, at, code);
        if (length == 0) {
            ++at; // a stray byte is dropped alone; what follows may be fine
            continue;
        }
        if (AllowedInXml(code))
            out.append(text.substr(at, length));
        at += length;
    }
    return out;
}

std::string XmlRequestText(std::string_view text)
{
    return qvcommon::XmlEscaped(XmlCleanText(text));
}

std::string CdataSections(std::string_view text)
{
    const std::string clean = XmlCleanText(text);
    std::string out = "<![CDATA[";
    std::size_t from = 0;
    for (std::size_t at; (at = clean.find("]]>", from)) != std::string::npos; from = at + 2)
        out.append(clean, from, at + 2 - from).append("]]><![CDATA[");
    out.append(clean, from).append("]]>");
    return out;
}

std::string_view CutAtCharacter(std::string_view text, std::size_t max)
{
    if (text.size() <= max)
        return text;
    std::size_t end = max;
    // Step back over continuation bytes to the start of the cut character.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

} // namespace qvamz::tasks
