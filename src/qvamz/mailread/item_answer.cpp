// Reading a GetItem answer in memory (see item_answer.hpp).
#include "mailread/item_answer.hpp"

#include <array>
#include <cstdio>

#include "common/text_case.hpp"
#include "common/unique_file.hpp"
#include "ews/xml_scan.hpp"

namespace qvamz::mailread {
namespace {

// One answer line at a time, as ReadAnswerLine gives it from a file: the
// bytes before "\n", at most `max` of them kept, CR and LF dropped from
// the end of what was kept.
class AnswerLines {
  public:
    explicit AnswerLines(std::string_view text) : text_(text) {}

    bool Next(std::string_view &line, std::size_t max)
    {
        if (pos_ >= text_.size())
            return false;
        std::size_t end = text_.find('\n', pos_);
        const std::size_t next = end == std::string_view::npos ? text_.size() : end + 1;
        if (end == std::string_view::npos)
            end = text_.size();
        line = text_.substr(pos_, std::min(end - pos_, max));
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
            line.remove_suffix(1);
        pos_ = next;
        return true;
    }
    // What follows the last line read.
    std::string_view Rest() const { return text_.substr(std::min(pos_, text_.size())); }

  private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

constexpr std::array<signed char, 256> MakeSextets()
{
    std::array<signed char, 256> table{};
    for (auto &value : table)
        value = -1;
    constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < alphabet.size(); ++i)
        table[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    return table;
}
constexpr std::array<signed char, 256> kSextets = MakeSextets();

// Decodes the base64 text at the start of `text` up to its end or the
// first CR, LF, "<" or NUL; other characters outside the alphabet are
// skipped, and "=" drops the partial byte of its group.
void DecodeBase64Text(std::string_view text, std::string &out)
{
    out.resize(text.size() / 4 * 3 + 3);
    char *next = out.data();
    const auto *in = reinterpret_cast<const unsigned char *>(text.data());
    const std::size_t size = text.size();
    unsigned bits = 0;
    int held = 0;
    std::size_t i = 0;
    while (i < size) {
        // Whole groups of four while no bits are held: the common case.
        if (held == 0 && i + 4 <= size) {
            const int a = kSextets[in[i]], b = kSextets[in[i + 1]], c = kSextets[in[i + 2]],
                      d = kSextets[in[i + 3]];
            if ((a | b | c | d) >= 0) {
                const unsigned group = (static_cast<unsigned>(a) << 18) |
                                       (static_cast<unsigned>(b) << 12) |
                                       (static_cast<unsigned>(c) << 6) | static_cast<unsigned>(d);
                *next++ = static_cast<char>(group >> 16);
                *next++ = static_cast<char>(group >> 8);
                *next++ = static_cast<char>(group);
                i += 4;
                continue;
            }
        }
        const unsigned char byte = in[i++];
        const int value = kSextets[byte];
        if (value >= 0) {
            bits = ((bits << 6) | static_cast<unsigned>(value)) & 0xFFFFu;
            held += 6;
            if (held >= 8) {
                held -= 8;
                *next++ = static_cast<char>(bits >> held);
            }
        } else if (byte == '\r' || byte == '\n' || byte == '<' || byte == '\0') {
            break;
        } else if (byte == '=') {
            bits = 0;
            held = 0;
        }
    }
    out.resize(static_cast<std::size_t>(next - out.data()));
}

// The quoted text after the first "Id=" of an ItemId line.
std::string ItemIdOfLine(std::string_view line)
{
    const std::size_t at = line.find("Id=");
    if (at == std::string_view::npos || at + 4 > line.size())
        return {};
    const std::size_t start = at + 4; // after Id= and its quote
    const std::size_t end = line.find('"', start);
    std::string id(line.substr(start, end == std::string_view::npos ? end : end - start));
    if (id.size() > kEwsItemIdMax)
        id.resize(kEwsItemIdMax);
    return id;
}

} // namespace

bool DecodeMimeContent(std::string_view answer, std::string &mime)
{
    mime.clear();
    AnswerLines lines(answer);
    std::string_view line;
    bool found = false;
    while (!found && lines.Next(line, kScanLineMax))
        found = qvcommon::StartsWithNoCase(line, "<t:MimeContent");
    if (!found)
        return false;
    // The element's text runs to the end of its line (or the next tag).
    DecodeBase64Text(lines.Rest(), mime);
    return true;
}

void ReadIsRead(std::string_view answer, int &is_read)
{
    AnswerLines lines(answer);
    std::string_view line;
    while (lines.Next(line, kScanLineMax)) {
        if (!line.starts_with("<t:IsRead>"))
            continue;
        if (!lines.Next(line, kScanLineMax))
            line = {};
        is_read = qvcommon::StartsWithNoCase(line, "true") ? 1 : 0;
        return;
    }
}

void ScanItemDetails(std::string_view answer, qv_message *msg, ItemDetails &details)
{
    details = {};
    AnswerLines lines(answer);
    std::string_view line;
    bool found = false;
    while (!found && lines.Next(line, kItemLineMax)) {
        if (qvcommon::StartsWithNoCase(line, "<t:MeetingRequest"))
            details.meeting_request = true;
        found = qvcommon::StartsWithNoCase(line, "<t:ItemId");
    }
    if (!found)
        return;
    details.ews_item_id = ItemIdOfLine(line);

    // The properties asked for follow the ItemId; they are read as
    // terminated text, as far as the first zero byte.
    const std::string text(lines.Rest().substr(0, kPropertyTextMax));
    ParseCategories(text.c_str(), msg);
    ApplyExtendedFlags(text.c_str(), msg);
}

} // namespace qvamz::mailread
