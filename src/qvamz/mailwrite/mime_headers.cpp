// Header text of built messages (see mime_headers.hpp).
#include "mailwrite/mime_headers.hpp"
#include "common/unique_file.hpp"

#include <array>
#include <cctype>
#include <cstdlib>
#include <cstdint>
#include <ctime>
#include <memory>
#include <vector>

#include "mailwrite/mime_builder.hpp"
#include "mailwrite/part_content.hpp"
#include "qv/qvcom.h"
#include "common/text_case.hpp"

namespace qvamz::mime {
namespace {

// com_Encode_iso rewrites the text in place; room for the encoded words of
// the longest record text (a 768-byte name grows about threefold).
constexpr std::size_t kEncodedTextMax = 8192;
constexpr std::size_t kCharsetNameMax = 64;

using InputFile = qvcommon::UniqueFile;

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

bool IsEncodedWord(std::string_view token)
{
    return token.size() >= 8 && token.substr(0, 2) == "=?" &&
           token.substr(token.size() - 2) == "?=";
}

// RFC 5322 atext: letters, digits and !#$%&'*+-/=?^_`{|}~.
bool IsAtom(std::string_view token)
{
    static constexpr std::string_view kAtextSpecials = "!#$%&'*+-/=?^_`{|}~";
    for (unsigned char c : token)
        if (!std::isalnum(c) && kAtextSpecials.find(static_cast<char>(c)) == std::string_view::npos)
            return false;
    return !token.empty();
}

// An encoded display name may stand without quotes when every word is an
// encoded word or an atom (RFC 2047 forbids encoded words inside quotes).
bool IsUnquotablePhrase(std::string_view phrase)
{
    bool any = false;
    std::size_t at = 0;
    while (at < phrase.size()) {
        std::size_t end = phrase.find(' ', at);
        std::string_view word = phrase.substr(at, end == std::string_view::npos ? end : end - at);
        if (!word.empty()) {
            if (!IsEncodedWord(word) && !IsAtom(word))
                return false;
            any = true;
        }
        if (end == std::string_view::npos)
            break;
        at = end + 1;
    }
    return any;
}

std::string_view TokenBefore(std::string_view line, std::size_t blank)
{
    std::size_t start = line.rfind(' ', blank - 1);
    start = start == std::string_view::npos ? 0 : start + 1;
    return line.substr(start, blank - start);
}

std::string_view TokenAfter(std::string_view line, std::size_t blank)
{
    std::size_t end = line.find(' ', blank + 1);
    return line.substr(blank + 1, end == std::string_view::npos ? end : end - blank - 1);
}

bool IsFoldPoint(std::string_view line, std::size_t i)
{
    if (line[i] != ' ' || i == 0 || i + 1 >= line.size())
        return false;
    char before = line[i - 1], after = line[i + 1];
    if (before == ' ' || after == ' ' || after == '<')
        return false;
    if (after == '=')
        return IsEncodedWord(TokenAfter(line, i)) && IsEncodedWord(TokenBefore(line, i));
    return true;
}

std::string CleanAddress(std::string_view address)
{
    std::string out;
    for (char c : SingleLine(address))
        if (c != ' ' && c != '<' && c != '>')
            out += c;
    return out;
}

} // namespace

std::string SingleLine(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue; // CR LF becomes the one blank of its LF
        out += (c < 0x20 || c == 0x7F) ? ' ' : static_cast<char>(c);
    }
    return out;
}

std::string QuotedString(std::string_view text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

std::string FoldHeader(std::string_view name, std::string_view value)
{
    std::string line;
    line.reserve(name.size() + 2 + value.size());
    line.append(name).append(": ").append(value);

    std::string out;
    std::size_t start = 0;
    std::size_t last = std::string::npos; // latest fold point seen
    auto fold_at = [&](std::size_t at) {
        out.append(line, start, at - start).append("\r\n");
        start = at; // the blank opens the continuation line
    };
    // The blank after the colon is a fold point too: a long first word (an
    // encoded word of 75 characters) then gets a line of its own.
    const std::size_t after_colon = name.size() + 1;
    for (std::size_t i = after_colon; i < line.size(); ++i) {
        bool at_colon = i == after_colon && i + 1 < line.size() && line[i + 1] != ' ';
        if (!at_colon && (i == after_colon || !IsFoldPoint(line, i)))
            continue;
        if (i - start > kHeaderLineSoftMax && last != std::string::npos && last > start)
            fold_at(last);
        last = i;
    }
    if (line.size() - start > kHeaderLineSoftMax && last != std::string::npos && last > start)
        fold_at(last);
    out.append(line, start, std::string::npos).append("\r\n");
    return out;
}

HeaderEncoder::HeaderEncoder(int codepage) : codepage_(codepage) {}

std::string HeaderEncoder::Encode(std::string_view text)
{
    std::string line = SingleLine(text);
    std::vector<char> buffer(kEncodedTextMax);
    com_strncpy(buffer.data(), line.c_str(), buffer.size() - 1);
    std::array<char, kCharsetNameMax> charset{};
    com_Encode_iso(buffer.data(), buffer.size(), codepage_, charset.data(), charset.size());
    if (charset[0] != '\0')
        charset_ = charset.data();
    // The encoder works on one line; keep whatever it gives on one line too.
    return SingleLine(std::string_view(buffer.data(), strnlen(buffer.data(), buffer.size())));
}

std::string HeaderEncoder::Phrase(std::string_view name)
{
    std::string plain = SingleLine(name);
    std::string encoded = Encode(plain);
    if (encoded != plain && IsUnquotablePhrase(encoded))
        return encoded;
    return QuotedString(encoded);
}

std::string HeaderEncoder::Parameter(std::string_view value)
{
    return QuotedString(Encode(value));
}

std::string MailboxValue(std::string_view name, std::string_view address, HeaderEncoder &encoder)
{
    std::string display;
    std::string addr;
    std::string one_line = SingleLine(name);
    std::string_view text = one_line;
    if (std::size_t lt = text.find('<'); lt != std::string_view::npos) {
        std::size_t gt = text.find('>', lt);
        addr = CleanAddress(text.substr(lt + 1, gt == std::string_view::npos ? gt : gt - lt - 1));
        std::string_view before = Trim(text.substr(0, lt));
        if (before.size() >= 2 && before.front() == '"' && before.back() == '"')
            before = Trim(before.substr(1, before.size() - 2));
        display = before;
        if (gt != std::string_view::npos) {
            std::string_view after = Trim(text.substr(gt + 1));
            if (!after.empty())
                display = std::string(Trim(display + " " + std::string(after)));
        }
    } else {
        display = Trim(text);
        addr = CleanAddress(address);
    }
    if (display.empty() && addr.empty())
        return {};
    if (addr.empty())
        return encoder.Phrase(display);
    if (display.empty())
        return "<" + addr + ">";
    return encoder.Phrase(display) + " <" + addr + ">";
}

int UtcOffsetMinutes(std::string_view offset_text)
{
    if (offset_text.size() != 5 || (offset_text[0] != '+' && offset_text[0] != '-'))
        return 0;
    for (std::size_t i = 1; i < 5; ++i)
        if (!std::isdigit(static_cast<unsigned char>(offset_text[i])))
            return 0;
    int hours = (offset_text[1] - '0') * 10 + (offset_text[2] - '0');
    int minutes = (offset_text[3] - '0') * 10 + (offset_text[4] - '0');
    int total = hours * 60 + minutes;
    return offset_text[0] == '-' ? -total : total;
}

std::string DateValue(qv_filetime utc, std::string_view offset_text)
{
    static constexpr std::array<const char *, 7> kDays = {"Sun", "Mon", "Tue", "Wed",
                                                          "Thu", "Fri", "Sat"};
    static constexpr std::array<const char *, 12> kMonths = {
        "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    constexpr std::int64_t kFileTimeTicksPerSecond = 10'000'000;
    constexpr std::int64_t kUnixEpochInFileTimeSeconds = 11'644'473'600;

    int offset = UtcOffsetMinutes(offset_text);
    std::time_t local = static_cast<std::time_t>(
        static_cast<std::int64_t>(utc / kFileTimeTicksPerSecond) - kUnixEpochInFileTimeSeconds +
        static_cast<std::int64_t>(offset) * 60);
    std::tm tm{};
    gmtime_r(&local, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02d%02d",
                  kDays[static_cast<std::size_t>(tm.tm_wday) % 7],
                  tm.tm_mday, kMonths[static_cast<std::size_t>(tm.tm_mon) % 12],
                  tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec, offset < 0 ? '-' : '+',
                  std::abs(offset) / 60, std::abs(offset) % 60);
    return text;
}

bool ReadTextLine(std::FILE *in, std::string &line)
{
    line.clear();
    int c = std::fgetc(in);
    if (c == EOF)
        return false;
    for (; c != EOF; c = std::fgetc(in)) {
        if (c == '\n')
            break;
        if (c == '\r') {
            int next = std::fgetc(in);
            if (next != '\n' && next != EOF)
                std::ungetc(next, in);
            break;
        }
        line += static_cast<char>(c);
    }
    return true;
}

bool IsHeaderFieldLine(std::string_view line)
{
    std::size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos)
        return false;
    for (std::size_t i = 0; i < colon; ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (c <= ' ' || c > '~')
            return false;
    }
    return true;
}

bool WriteOwnHeaders(std::FILE *out, const std::string &header_path)
{
    InputFile in(std::fopen(header_path.c_str(), "rb"));
    if (!in)
        return false;
    bool copying = false; // the field the next continuation line belongs to is kept
    bool any_field = false;
    bool has_mime_version = false;
    std::string line;
    while (ReadTextLine(in.get(), line)) {
        if (line.empty()) {
            if (any_field)
                break; // the header block ends at its first blank line
            continue;
        }
        bool continuation = line[0] == ' ' || line[0] == '\t';
        if (!continuation) {
            // Fields that describe the source's body would contradict the
            // structure written below.
            copying = IsHeaderFieldLine(line) &&
                      !qvcommon::StartsWithNoCase(line, "Content-Type:") &&
                      !qvcommon::StartsWithNoCase(line, "Content-Transfer-Encoding:");
            any_field = any_field || copying;
            if (copying && qvcommon::StartsWithNoCase(line, "MIME-Version:"))
                has_mime_version = true;
        }
        if (!copying || qvcommon::ContainsNoCase(line, "boundary="))
            continue;
        std::fwrite(line.data(), 1, line.size(), out);
        std::fputs("\r\n", out);
    }
    if (!has_mime_version)
        std::fputs("MIME-Version: 1.0\r\n", out);
    return true;
}

namespace {

template <class Lines> void CopyThreadHeaders(std::FILE *out, Lines &lines)
{
    static constexpr std::array<std::string_view, 4> kThreadFields = {
        "Thread-Topic:", "Thread-Index:", "References:", "In-Reply-To:"};
    std::string line;
    while (lines.Next(line))
        for (std::string_view field : kThreadFields)
            if (qvcommon::StartsWithNoCase(line, field)) {
                CopyWithContinuation(lines, line, out);
                break;
            }
}

} // namespace

void WriteThreadHeaders(std::FILE *out, const std::string &header_path, std::size_t in_memory_max)
{
    const PartContent headers = PartContent::Open(header_path, in_memory_max);
    if (headers.in_memory()) {
        TextLines lines(headers.bytes());
        CopyThreadHeaders(out, lines);
    } else if (headers.readable()) {
        FileLines lines(headers.stream());
        CopyThreadHeaders(out, lines);
    }
}

} // namespace qvamz::mime
