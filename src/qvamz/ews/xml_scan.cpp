#include "ews/xml_scan.hpp"
#include "frame/session.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "qv/qvcom.h"
#include "qv/qvcom.hpp"
#include "transport/line_reader.hpp"
#include "common/unique_file.hpp"
#include "common/text_case.hpp"
#include "common/base64.hpp"
#include "common/civil_date.hpp"
#include "common/xml_request_text.hpp"

namespace qvamz {
namespace {

constexpr std::string_view kNoBreakSpace = "\xC2\xA0";
constexpr std::string_view kZeroWidthSpace = "\xE2\x80\x8B";
constexpr qv_filetime kFileTimeTicksPerSecond = 10000000;
constexpr long long kSecondsFrom1601To1970 = 11644473600LL;

std::string Tag(std::string_view name) { return "<t:" + std::string(name) + ">"; }

// The text of an attribute such as Id=" from its quote to the next quote.
std::string QuotedValueAfter(std::string_view line, std::string_view marker)
{
    const std::size_t at = line.find(marker);
    if (at == std::string_view::npos)
        return {};
    const std::string_view rest = line.substr(at + marker.size());
    return std::string(rest.substr(0, rest.find('"')));
}

// Drops an incomplete UTF-8 sequence that a cut left at the end.
void DropCutSequence(std::string &text)
{
    std::size_t lead_at = text.size();
    std::size_t continuations = 0;
    while (lead_at > 0 && continuations < 3 &&
           (static_cast<unsigned char>(text[lead_at - 1]) & 0xC0) == 0x80) {
        --lead_at;
        ++continuations;
    }
    if (lead_at == 0)
        return;
    const auto lead = static_cast<unsigned char>(text[lead_at - 1]);
    const std::size_t needed = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (needed > 1 && continuations + 1 < needed)
        text.resize(lead_at - 1);
}

// The value copy of GetElementValue: up to "<", the end or `max` bytes.
std::string CopyValue(const char *from, std::size_t max)
{
    std::string value;
    for (const char *p = from; *p && *p != '<' && value.size() < max; ++p) {
        if (p[0] == kNoBreakSpace[0] && p[1] == kNoBreakSpace[1]) {
            value += ' ';
            ++p;
            continue;
        }
        value += *p;
    }
    if (value.size() >= max)
        DropCutSequence(value);
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n'))
        value.pop_back();
    com_Unescape(value.data());
    value.resize(std::strlen(value.c_str()));
    if (value.starts_with(kZeroWidthSpace))
        value.erase(0, kZeroWidthSpace.size());
    return value;
}

// Position of the value after "<t:NAME>": skip the CR after the tag, then
// one CR or LF, then one more LF.
const char *ValueAfterTag(const char *tag_end)
{
    const char *p = tag_end;
    if (*p)
        ++p;
    if (*p == '\r' || *p == '\n')
        ++p;
    if (*p == '\n')
        ++p;
    return p;
}

const char *KeyedValue(const char *buffer, std::string_view name, std::string_view key)
{
    const std::string entry = "<t:Entry Key=\"" + std::string(key) + "\"";
    const char *at = std::strstr(buffer, entry.c_str());
    if (!at)
        return nullptr;
    const char *cursor = at;
    std::string line;
    if (name.empty()) {
        NextBufferLine(cursor, line);
        return cursor;
    }
    const std::string open = Tag(name);
    const std::string empty = "<t:" + std::string(name) + "/>";
    while (NextBufferLine(cursor, line) == 0) {
        if (qvcommon::EqualsNoCase(line, open))
            return cursor;
        if (line == "</t:Entry>" || line == empty)
            return nullptr;
        if (!cursor)
            return nullptr;
    }
    return nullptr;
}

// Copies the body file into a CDATA section.  "]]>" inside the text would
// end the section early and make the request malformed, so it is split
// across two sections; a match may straddle two reads.  Characters that
// XML 1.0 cannot carry, even in CDATA, are left out.
bool CopyAsCdata(std::FILE *from, std::FILE *to)
{
    constexpr std::string_view kEnd = "]]>";
    qvcommon::XmlCharFilter filter;
    std::string pending;
    char chunk[4096];
    std::size_t got;
    bool ok = true;
    while (ok && (got = std::fread(chunk, 1, sizeof chunk, from)) > 0) {
        pending.append(filter.Feed(std::string_view(chunk, got)));
        std::string out;
        std::size_t at;
        while ((at = pending.find(kEnd)) != std::string::npos) {
            out.append(pending, 0, at).append("]]]]><![CDATA[>");
            pending.erase(0, at + kEnd.size());
        }
        // Keep a possible start of "]]>" for the next read.
        const std::size_t keep = std::min<std::size_t>(pending.size(), 2);
        out.append(pending, 0, pending.size() - keep);
        pending.erase(0, pending.size() - keep);
        ok = std::fwrite(out.data(), 1, out.size(), to) == out.size();
    }
    return ok && std::fwrite(pending.data(), 1, pending.size(), to) == pending.size();
}

} // namespace

int ExtractItemId(std::FILE *response, std::string &id, std::string &change_key)
{
    id.clear();
    change_key.clear();
    std::string line;
    while (ReadAnswerLine(response, line, kScanLineMax)) {
        if (!qvcommon::StartsWithNoCase(line, "<t:ItemId ") ||
            line.find("Id=\"") == std::string::npos)
            continue;
        id = QuotedValueAfter(line, "Id=\"");
        if (line.find("ChangeKey=") != std::string::npos)
            change_key = QuotedValueAfter(line, "ChangeKey=\"");
        return 1;
    }
    return 0;
}

int NextBufferLine(const char *&cursor, std::string &line)
{
    line.clear();
    if (!cursor)
        return 1;
    while (*cursor && *cursor != '\n') {
        if (*cursor == '\r') {
            ++cursor;
        } else if (cursor[0] == kNoBreakSpace[0] && cursor[1] == kNoBreakSpace[1]) {
            line += ' ';
            cursor += 2;
        } else {
            line += *cursor++;
        }
    }
    if (*cursor == '\n')
        ++cursor;
    else
        cursor = nullptr; // the terminating zero: the buffer is exhausted
    return 0;
}

int GetElementValue(const char *buffer, std::string_view name, std::string &out,
                    std::size_t max, std::string_view key)
{
    out.clear();
    if (!buffer)
        return 0;
    const char *value = nullptr;
    if (key.empty()) {
        const std::string open = Tag(name);
        const char *at = std::strstr(buffer, open.c_str());
        if (at)
            value = ValueAfterTag(at + open.size());
    } else {
        value = KeyedValue(buffer, name, key);
    }
    if (!value)
        return 0;
    out = CopyValue(value, max);
    return 1;
}

int ParseEwsDateTime(std::string_view text, qv_filetime &out)
{
    out = 0;
    const std::string s(text);
    const char *p = s.c_str();
    const int year = std::atoi(p);
    const char *month_at = std::strchr(p, '-');
    const char *day_at = month_at ? std::strchr(month_at + 1, '-') : nullptr;
    if (!day_at)
        return 0;
    const char *hour_at = std::strchr(day_at + 1, 'T');
    if (!hour_at)
        hour_at = std::strchr(day_at + 1, '-');
    const char *minute_at = hour_at ? std::strchr(hour_at + 1, ':') : nullptr;
    if (!minute_at)
        return 0;
    const char *second_at = std::strchr(minute_at + 1, ':');
    const int month = std::atoi(month_at + 1), day = std::atoi(day_at + 1);
    const int hour = std::atoi(hour_at + 1), minute = std::atoi(minute_at + 1);
    const int second = second_at ? std::atoi(second_at + 1) : 0;
    if (year < 1601 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 ||
        hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60)
        return 0;
    const long long seconds = qvcommon::DaysFromCivil(year, month, day) * 86400LL + hour * 3600LL +
                              minute * 60LL + second + kSecondsFrom1601To1970;
    out = static_cast<qv_filetime>(seconds) * kFileTimeTicksPerSecond;
    return 1;
}

int ParseCategories(const char *buffer, qv_message *msg)
{
    const char *cursor = buffer ? std::strstr(buffer, "<t:Categories>") : nullptr;
    if (!cursor || !msg)
        return 0;
    std::string joined, line;
    while (NextBufferLine(cursor, line) == 0 && !qvcommon::EqualsNoCase(line, "</t:Categories>")) {
        if (line != "<t:String>")
            continue;
        NextBufferLine(cursor, line);
        com_Unescape(line.data());
        line.resize(std::strlen(line.c_str()));
        if (!joined.empty())
            joined += ';';
        joined += line;
    }
    std::string limited;
    assign_limited(limited, joined, kCategoriesJoinedMax);
    assign_limited(limited, limited, kCategoriesMax);
    std::memcpy(msg->categories, limited.c_str(), limited.size() + 1);
    return 1;
}

void RemoveElement(std::string &buffer, std::string_view name)
{
    const std::string open = "<t:" + std::string(name);
    const std::string close = "</t:" + std::string(name) + ">";
    const std::size_t start = buffer.find(open);
    if (start == std::string::npos)
        return;
    const std::size_t end = buffer.find(close, start);
    if (end == std::string::npos)
        return;
    buffer.erase(start, end + close.size() - start);
}

int ExtractBase64Element(const std::string &response_path, const std::string &output_path,
                         std::string_view name, int *is_read)
{
    qvcommon::UniqueFile response = qvcommon::OpenFile(response_path, "rb");
    qvcommon::UniqueFile output = qvcommon::OpenFile(output_path, "wb");
    if (!response || !output)
        return 0;
    const std::string open = "<t:" + std::string(name);
    std::string line;
    bool found = false;
    while (!found && ReadAnswerLine(response.get(), line, kScanLineMax))
        found = qvcommon::StartsWithNoCase(line, open);
    if (!found)
        return 0;

    // The element's text runs to the end of its line (or the next tag).
    qvcommon::Base64Bits bits;
    unsigned char byte = 0;
    int c;
    while ((c = getc_unlocked(response.get())) != EOF && c != '\r' && c != '\n' && c != 0 &&
           c != '<') {
        if (c == '=') {
            bits.Reset();
            continue;
        }
        const int value = qvcommon::Base64Sextet(static_cast<char>(c));
        if (value >= 0 && bits.Push(value, byte))
            std::fputc(byte, output.get());
    }
    output.reset();

    if (is_read) {
        std::rewind(response.get());
        while (ReadAnswerLine(response.get(), line, kScanLineMax)) {
            if (!line.starts_with("<t:IsRead>"))
                continue;
            ReadAnswerLine(response.get(), line, kScanLineMax);
            *is_read = qvcommon::StartsWithNoCase(line, "true") ? 1 : 0;
            break;
        }
    }
    return 1;
}

std::size_t Base64DecodeInPlace(char *text)
{
    if (!text)
        return 0;
    std::size_t written = 0;
    qvcommon::Base64Bits bits;
    unsigned char byte = 0;
    // The write position never passes the read position: every byte
    // written takes at least two characters read.  "=" pads a group and
    // drops its partial byte; other foreign characters (line breaks) are
    // skipped.
    for (const char *p = text; *p; ++p) {
        if (*p == '=') {
            bits.Reset();
            continue;
        }
        const int value = qvcommon::Base64Sextet(*p);
        if (value >= 0 && bits.Push(value, byte) && written < kBase64InPlaceMax)
            text[written++] = static_cast<char>(byte);
    }
    text[written] = '\0';
    return written;
}

int WriteBodyElement(std::FILE *request, const qv_message *msg, const std::string &work_dir)
{
    if (!request || !msg)
        return 0;
    int index = -1;
    for (int i = 0; i < msg->part_count && i < QV_MAX_PARTS; ++i) {
        if (msg->parts[i] && msg->parts[i]->part_type == QV_PART_TEXT_BODY) {
            index = i;
            break;
        }
    }
    if (index < 0)
        return 0;
    qvcommon::UniqueFile body =
        qvcommon::OpenFile(qvcom::part_file_path(work_dir, msg->msg_number, index), "rb");
    if (!body)
        return 0;
    std::fseek(body.get(), 0, SEEK_END);
    const long size = std::ftell(body.get());
    std::rewind(body.get());
    if (size < kBodyMinBytes)
        return 0;
    // No line break around the section: inside the element it would
    // become part of the text, and every copy would add two.
    std::fputs("<t:Body BodyType=\"Text\"><![CDATA[", request);
    CopyAsCdata(body.get(), request);
    std::fputs("]]></t:Body>\n", request);
    return 1;
}

std::string_view TrimmedLine(std::string_view line)
{
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
}

std::string_view LineAttribute(std::string_view line, std::string_view name)
{
    const std::string key = " " + std::string(name) + "=\"";
    const std::size_t at = line.find(key);
    if (at == std::string_view::npos)
        return {};
    const std::size_t from = at + key.size();
    return line.substr(from, line.find('"', from) - from);
}

} // namespace qvamz
