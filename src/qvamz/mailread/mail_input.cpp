// Reading physical and logical lines of a message.
#include "mailread/mail_input.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "mailread/parser_limits.hpp"
#include "common/text_case.hpp"

namespace qvamz::mailread {
namespace {

enum class LineEnd { kNewline, kEndOfInput, kFull };

// Length of the text before the first CR or LF of `text` (its size when
// there is none).
std::size_t text_before_line_end(std::string_view text)
{
    const void *lf = std::memchr(text.data(), '\n', text.size());
    const std::size_t lf_at =
        lf ? static_cast<std::size_t>(static_cast<const char *>(lf) - text.data()) : text.size();
    const void *cr = std::memchr(text.data(), '\r', lf_at);
    return cr ? static_cast<std::size_t>(static_cast<const char *>(cr) - text.data()) : lf_at;
}

void tabs_to_blanks(char *text, std::size_t n)
{
    char *const end = text + n;
    while (char *tab = static_cast<char *>(std::memchr(text, '\t', end - text))) {
        *tab = ' ';
        text = tab + 1;
    }
}

// Consumes the line end whose first character (CR or LF) is next.
void read_line_end(MailInput &in)
{
    if (in.get() == '\n') {
        in.line_end = "\n";
        return;
    }
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
}

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
        std::string_view ahead = in.buffered();
        if (ahead.empty()) {
            in.line_end.clear();
            return LineEnd::kEndOfInput;
        }
        if (!drop_excess)
            ahead = ahead.substr(0, max - out.size());
        const std::size_t n = text_before_line_end(ahead);
        const std::string_view text = ahead.substr(0, n);
        if (raw && raw->size() < kHeaderCopyLineMax)
            raw->append(text.substr(0, kHeaderCopyLineMax - raw->size()));
        if (out.size() < max) {
            const std::size_t from = out.size();
            out.append(text.substr(0, max - from));
            if (!keep_tabs)
                tabs_to_blanks(out.data() + from, out.size() - from);
        }
        in.skip(n);
        if (n < ahead.size()) {
            read_line_end(in);
            return LineEnd::kNewline;
        }
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

MailInput::MailInput(FILE *file, ParseTree &tree)
    : file_(file), tree_(tree), block_(std::make_unique<char[]>(kLookBehind + kBlock))
{
    const off_t at = file ? ftello(file) : -1;
    base_ = at > 0 ? static_cast<std::int64_t>(at) : 0;
}

bool MailInput::refill()
{
    if (input_ended_ || !file_)
        return false;
    const std::size_t keep = std::min(end_, kLookBehind);
    std::memmove(block_.get(), block_.get() + end_ - keep, keep);
    base_ += static_cast<std::int64_t>(end_ - keep);
    pos_ = end_ = keep;
    const std::size_t got = std::fread(block_.get() + keep, 1, kBlock, file_);
    end_ += got;
    input_ended_ = got == 0;
    return got > 0;
}

bool MailInput::seek(std::int64_t position)
{
    if (position >= base_ && position <= base_ + static_cast<std::int64_t>(end_)) {
        pos_ = static_cast<std::size_t>(position - base_);
        return true;
    }
    if (!file_ || fseeko(file_, static_cast<off_t>(position), SEEK_SET) != 0)
        return false;
    base_ = position;
    pos_ = end_ = 0;
    input_ended_ = false;
    return true;
}

void MailInput::sync()
{
    const std::int64_t position = tell();
    if (file_ && fseeko(file_, static_cast<off_t>(position), SEEK_SET) == 0) {
        base_ = position;
        pos_ = end_ = 0;
        input_ended_ = false;
    }
}

int ReadHeaderLine(MailInput &in, FILE *copy, bool unfold, std::size_t start)
{
    if (in.at_end())
        return 1;
    std::string &line = in.line;
    line.resize(std::min(start, line.size()));
    std::string &raw = in.raw_line;
    raw.clear();
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
