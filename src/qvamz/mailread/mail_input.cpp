// Reading physical and logical lines of a message.
#include "mailread/mail_input.hpp"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "mailread/parser_limits.hpp"
#include "common/text_case.hpp"

namespace qvamz::mailread {
namespace {

enum class LineEnd { kNewline, kEndOfInput, kFull };

// Reads the characters of the current physical line into `out` (tabs as
// spaces unless `keep_tabs`).  A line ends at LF, CR LF, CR alone and
// CR CR LF; CR CR followed by anything else ends after the first CR and
// gives back the second CR and that character.  With `drop_excess`,
// characters past `max` are read and dropped; otherwise reading stops
// there (kFull) and the rest stays for the next call.  `raw`, when given,
// receives the line as read (tabs kept), up to kHeaderCopyLineMax.
LineEnd read_physical(MailInput &in, std::string &out, std::size_t max, bool keep_tabs,
                      std::string *raw, bool drop_excess)
{
    for (;;) {
        if (!drop_excess && out.size() >= max)
            return LineEnd::kFull;
        const int c = in.get();
        if (c == EOF) {
            in.line_end.clear();
            return LineEnd::kEndOfInput;
        }
        if (c == '\n') {
            in.line_end = "\n";
            return LineEnd::kNewline;
        }
        if (c == '\r') {
            in.line_end = "\r";
            const int c2 = in.get();
            if (c2 == '\r') {
                const int c3 = in.get();
                if (c3 != '\n') {
                    in.unget(c3);
                    in.unget('\r');
                } else {
                    in.line_end = "\r\r\n";
                }
            } else if (c2 != '\n') {
                in.unget(c2);
            } else {
                in.line_end = "\r\n";
            }
            return LineEnd::kNewline;
        }
        if (raw && raw->size() < kHeaderCopyLineMax)
            raw->push_back(static_cast<char>(c));
        if (out.size() < max)
            out.push_back(c == '\t' && !keep_tabs ? ' ' : static_cast<char>(c));
    }
}

bool odd_quotes(const std::string &line)
{
    return std::count(line.begin(), line.end(), '"') % 2 == 1;
}

// Continuations of these lines, and of text split inside a quoted string
// or an encoded word, are joined with a blank; all others with ";".
bool joins_with_blank(const std::string &line)
{
    return (!line.empty() && line.back() == '=') || qvcommon::StartsWithNoCase(line, "Subject:") ||
           qvcommon::StartsWithNoCase(line, "To:") || qvcommon::StartsWithNoCase(line, "Fro") ||
           qvcommon::StartsWithNoCase(line, "cc:") || odd_quotes(line);
}

void write_copy(FILE *copy, const std::string &raw)
{
    std::fwrite(raw.data(), 1, raw.size(), copy);
    std::fputc('\n', copy);
}

} // namespace

int ReadHeaderLine(MailInput &in, FILE *copy, bool unfold, std::size_t start)
{
    if (in.at_end())
        return 1;
    std::string &line = in.line;
    line.resize(std::min(start, line.size()));
    std::string raw;
    int semicolon_joins = 0;
    for (;;) {
        const LineEnd end = read_physical(in, line, kLineMax, false, copy ? &raw : nullptr, true);
        if (copy)
            write_copy(copy, raw);
        raw.clear();
        if (!unfold || end == LineEnd::kEndOfInput)
            break;
        const int next = in.peek();
        if ((next != ' ' && next != '\t') || line.empty())
            break;
        const bool blank_join = joins_with_blank(line);
        if (!blank_join && ++semicolon_joins > kMaxSemicolonJoins) {
            in.get(); // the continuation becomes a line of its own
            break;
        }
        // The copy keeps one blank of the fold, so it stays a valid header.
        raw.push_back(static_cast<char>(in.get()));
        if (line.size() < kLineMax) {
            if (!blank_join)
                line.push_back(';');
            else if (in.peek() != '=')
                line.push_back(' ');
        }
        while (in.peek() == ' ' || in.peek() == '\t')
            in.get();
    }
    return 0;
}

BodyPiece ReadBodyPiece(MailInput &in, std::size_t start, bool keep_tabs)
{
    if (in.at_end())
        return BodyPiece::kEndOfInput;
    std::string &line = in.line;
    line.resize(std::min(start, line.size()));
    const LineEnd end = read_physical(in, line, kLineMax, keep_tabs, nullptr, false);
    if (end != LineEnd::kFull)
        return BodyPiece::kLineEnd;
    // Never end a piece inside a quoted-printable escape: give back an "="
    // and what follows it so the next piece starts with the whole escape.
    const std::size_t tail = line.size() >= 2 && line[line.size() - 2] == '=' ? 2
                             : !line.empty() && line.back() == '='           ? 1
                                                                             : 0;
    for (std::size_t i = 0; i < tail; ++i) {
        in.unget(static_cast<unsigned char>(line.back()));
        line.pop_back();
    }
    return BodyPiece::kPartial;
}

} // namespace qvamz::mailread
