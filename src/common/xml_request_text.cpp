#include "common/xml_request_text.hpp"

#include "common/xml_escape.hpp"

namespace qvcommon {
namespace {

constexpr std::string_view kCdataOpen = "<![CDATA[";
constexpr std::string_view kCdataClose = "]]>";

// Bytes of the sequence that `lead` starts, 0 for a byte that cannot
// start one (a continuation byte, C0/C1 overlong leads, F5 and above).
std::size_t SequenceLength(unsigned char lead)
{
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Whether the second byte fits the lead: this rules out overlong forms,
// surrogates (ED A0..BF) and values past U+10FFFF (F4 90 and above).
bool SecondByteFits(unsigned char lead, unsigned char second)
{
    switch (lead) {
    case 0xE0: return second >= 0xA0 && second <= 0xBF;
    case 0xED: return second >= 0x80 && second <= 0x9F;
    case 0xF0: return second >= 0x90 && second <= 0xBF;
    case 0xF4: return second >= 0x80 && second <= 0x8F;
    default: return IsContinuation(second);
    }
}

bool IsAllowedControl(unsigned char c) { return c == '\t' || c == '\n' || c == '\r'; }

// U+FFFE and U+FFFF: EF BF BE and EF BF BF.
bool IsNonCharacter(std::string_view sequence)
{
    return sequence.size() == 3 && static_cast<unsigned char>(sequence[0]) == 0xEF &&
           static_cast<unsigned char>(sequence[1]) == 0xBF &&
           (static_cast<unsigned char>(sequence[2]) == 0xBE ||
            static_cast<unsigned char>(sequence[2]) == 0xBF);
}

enum class Check { kValid, kInvalid, kCutOff };

// Checks the sequence at the start of `text` whose length the lead gave.
Check CheckSequence(std::string_view text, std::size_t length)
{
    const auto lead = static_cast<unsigned char>(text[0]);
    for (std::size_t i = 1; i < length; ++i) {
        if (i >= text.size())
            return Check::kCutOff;
        const auto c = static_cast<unsigned char>(text[i]);
        if (i == 1 ? !SecondByteFits(lead, c) : !IsContinuation(c))
            return Check::kInvalid;
    }
    return Check::kValid;
}

} // namespace

std::string XmlCharFilter::Feed(std::string_view piece)
{
    std::string text = pending_;
    text.append(piece);
    pending_.clear();
    std::string out;
    out.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        const auto lead = static_cast<unsigned char>(text[at]);
        if (lead < 0x80) {
            if (lead >= 0x20 || IsAllowedControl(lead))
                out += static_cast<char>(lead);
            ++at;
            continue;
        }
        const std::size_t length = SequenceLength(lead);
        if (length == 0) {
            ++at; // a byte that starts nothing: dropped, the next may start anew
            continue;
        }
        const std::string_view rest(text.data() + at, text.size() - at);
        const Check check = CheckSequence(rest, length);
        if (check == Check::kCutOff) {
            pending_.assign(rest);
            break;
        }
        if (check == Check::kInvalid) {
            ++at;
            continue;
        }
        if (!IsNonCharacter(rest.substr(0, length)))
            out.append(rest.substr(0, length));
        at += length;
    }
    return out;
}

std::string XmlRequestText(std::string_view text)
{
    XmlCharFilter filter;
    std::string out = filter.Feed(text);
    filter.Finish();
    return out;
}

std::string XmlRequestEscaped(std::string_view text)
{
    return XmlEscaped(XmlRequestText(text), EscapeQuotes::kBoth);
}

std::string CdataSections(std::string_view text)
{
    std::string out(kCdataOpen);
    std::size_t from = 0;
    for (std::size_t at = text.find(kCdataClose); at != std::string_view::npos;
         at = text.find(kCdataClose, from)) {
        // "]]" ends this section, ">" opens the next one.
        out.append(text.substr(from, at + 2 - from));
        out.append(kCdataClose).append(kCdataOpen);
        from = at + 2;
    }
    out.append(text.substr(from));
    out.append(kCdataClose);
    return out;
}

std::string_view Utf8Prefix(std::string_view text, std::size_t max)
{
    if (text.size() <= max)
        return text;
    std::size_t cut = max;
    while (cut > 0 && IsContinuation(static_cast<unsigned char>(text[cut])))
        --cut;
    return text.substr(0, cut);
}

void CopyToField(char *field, std::size_t capacity, std::string_view text, std::size_t max)
{
    if (!field || capacity == 0)
        return;
    if (max > capacity - 1)
        max = capacity - 1;
    const std::string_view kept = Utf8Prefix(text.substr(0, text.find('\0')), max);
    std::memcpy(field, kept.data(), kept.size());
    field[kept.size()] = '\0';
}

} // namespace qvcommon
