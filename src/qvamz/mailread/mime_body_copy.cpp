// Copying part bodies: boundary lines, quoted-printable, raw byte counts.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "mailread/header_text.hpp"
#include "mailread/mime_parser.hpp"
#include "mailread/parser_limits.hpp"
#include "qv/record.h"
#include "common/base64.hpp"
#include "common/hex.hpp"
#include "common/text_case.hpp"

namespace qvamz::mailread {
namespace {

// Undoes "=XX" escapes in place.  An "=" not followed by two hexadecimal
// digits stays as it is (with what follows); one in the last position
// ends the decoding of the line.
void decode_quoted_printable(std::string &line)
{
    std::size_t to = line.find('=');
    if (to == std::string::npos)
        return;
    const std::size_t size = line.size();
    for (std::size_t i = to; i < size; ++i) {
        if (line[i] != '=') {
            line[to++] = line[i];
            continue;
        }
        if (i + 1 >= size) {
            line[to++] = '=';
            break;
        }
        const int hi = qvcommon::HexDigitValue(line[i + 1]);
        const int lo = i + 2 < size ? qvcommon::HexDigitValue(line[i + 2]) : -1;
        if (hi < 0 || lo < 0) {
            line[to++] = '=';
            continue;
        }
        line[to++] = static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    line.resize(to);
}

// Collects a part body and hands it to stdio in large blocks rather than
// a call per line; with `decode`, base64 text is decoded on the way, so
// the file holds what it encodes.  Without a file it only counts.
class BodyWriter {
  public:
    BodyWriter(FILE *out, bool decode) : out_(out), decode_(decode)
    {
        if (out_)
            block_ = std::make_unique<unsigned char[]>(kBlock);
    }
    ~BodyWriter() { flush(); }
    BodyWriter(const BodyWriter &) = delete;
    BodyWriter &operator=(const BodyWriter &) = delete;

    void write(std::string_view bytes)
    {
        if (!out_)
            return;
        while (!bytes.empty()) {
            const std::size_t n = std::min(bytes.size(), kPiece);
            const auto *in = reinterpret_cast<const unsigned char *>(bytes.data());
            if (used_ + n > kBlock)
                flush();
            if (decode_) {
                used_ += decoder_.Feed(in, n, block_.get() + used_);
            } else {
                std::memcpy(block_.get() + used_, in, n);
                used_ += n;
            }
            bytes.remove_prefix(n);
        }
    }
    void flush()
    {
        if (used_ > 0)
            std::fwrite(block_.get(), 1, used_, out_);
        used_ = 0;
    }

  private:
    static constexpr std::size_t kBlock = 64 * 1024;
    static constexpr std::size_t kPiece = kBlock / 2; // taken at a time (decoding needs less room)
    FILE *out_;
    bool decode_;
    qvcommon::Base64Decoder decoder_;
    std::unique_ptr<unsigned char[]> block_;
    std::size_t used_ = 0;
};

// Attachments and inline parts that are not the body keep their tabs and
// line ends, byte for byte; in text bodies a tab becomes a blank and every
// line ends in CR LF.
bool keeps_tabs(int code)
{
    return code == QV_PART_ATTACHMENT || code == 3 || code == 15 || code == QV_PART_INLINE_TEXT;
}

// These charsets split quoted-printable lines inside escape sequences, so
// soft line breaks are joined before the line is decoded.
bool joins_soft_breaks(int code, bool quoted_printable, std::string_view charset)
{
    return quoted_printable && code != 3 && code != 6 && code != 10 &&
           (qvcommon::EqualsNoCase(charset, "iso-2022-jp") ||
            qvcommon::EqualsNoCase(charset, "iso-2022-kr") ||
            qvcommon::EqualsNoCase(charset, "koi8-r"));
}

bool starts_with(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

int ended_by(MailInput &in, std::string_view boundary, Delimiter d, int result)
{
    in.last_delimiter.assign(boundary);
    in.last_delimiter_closing = d == Delimiter::kClosing;
    return result;
}

int copy_raw(MailInput &in, BodyWriter &writer, std::string_view boundary, std::uint64_t &count,
             std::int64_t raw_bytes)
{
    for (std::uint64_t left = static_cast<std::uint64_t>(raw_bytes); left > 0;) {
        std::string_view ahead = in.buffered();
        if (ahead.empty())
            break;
        ahead = ahead.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(left, ahead.size())));
        writer.write(ahead);
        in.skip(ahead.size());
        count += ahead.size();
        left -= ahead.size();
    }
    int at_end = ReadHeaderLine(in, nullptr, false, 0);
    if (!at_end && in.line.empty())
        at_end = ReadHeaderLine(in, nullptr, false, 0);
    const Delimiter d = at_end ? Delimiter::kNone : MatchBoundary(in.line, boundary);
    if (d == Delimiter::kBoundary)
        return ended_by(in, boundary, d, kBodyAtBoundary);
    if (d == Delimiter::kClosing)
        return ended_by(in, boundary, d, kBodyAtClosing);
    return in.at_end() ? kBodyAtEnd : kBodyAtBoundary;
}

} // namespace

Delimiter MatchBoundary(std::string_view line, std::string_view boundary)
{
    if (boundary.empty() || line.size() < boundary.size() + 2 || line[0] != '-' || line[1] != '-' ||
        !qvcommon::EqualsNoCase(line.substr(2, boundary.size()), boundary))
        return Delimiter::kNone;
    std::string_view rest = line.substr(2 + boundary.size());
    Delimiter d = Delimiter::kBoundary;
    if (rest.substr(0, 2) == "--") {
        d = Delimiter::kClosing;
        rest.remove_prefix(2);
    }
    return rest.find_first_not_of(" \t") == std::string_view::npos ? d : Delimiter::kNone;
}

PreambleEnd SkipPreamble(MailInput &in, std::string_view boundary,
                         std::initializer_list<std::string_view> stops)
{
    bool line_start = true;
    for (;;) {
        const BodyPiece piece = ReadBodyPiece(in, 0, true);
        if (piece == BodyPiece::kEndOfInput)
            return PreambleEnd::kNotFound;
        if (line_start) {
            switch (MatchBoundary(in.line, boundary)) {
            case Delimiter::kBoundary:
                return PreambleEnd::kBoundary;
            case Delimiter::kClosing:
                return PreambleEnd::kClosing;
            case Delimiter::kNone:
                break;
            }
            for (std::string_view stop : stops)
                if (MatchBoundary(in.line, stop) != Delimiter::kNone)
                    return PreambleEnd::kNotFound;
        }
        line_start = piece == BodyPiece::kLineEnd;
    }
}

int CopyPartBody(MailInput &in, FILE *out, std::string_view boundary, std::string_view alternate,
                 int code, bool quoted_printable, std::string_view charset,
                 std::uint64_t &count, std::int64_t raw_bytes, bool decode_base64)
{
    count = 0;
    BodyWriter writer(out, decode_base64);
    if (raw_bytes > 0)
        return copy_raw(in, writer, boundary, count, raw_bytes);
    const bool keep_tabs = keeps_tabs(code);
    const bool join_soft = joins_soft_breaks(code, quoted_printable, charset);
    const std::string delimiter = boundary.empty() ? std::string() : "--" + std::string(boundary);
    std::string &line = in.line;
    bool line_start = true; // false while the pieces of one long line go by
    // The line end before a boundary line belongs to the boundary, so each
    // line end is written only once the next line turns out to be content.
    bool line_end_due = false;
    const bool keep_line_ends = keeps_tabs(code);
    std::string due_line_end = "\r\n";
    const auto write_due_line_end = [&] {
        if (out && line_end_due) {
            writer.write(due_line_end);
            count += due_line_end.size();
        }
        line_end_due = false;
    };
    for (;;) {
        BodyPiece piece = ReadBodyPiece(in, 0, keep_tabs);
        if (piece == BodyPiece::kEndOfInput) {
            write_due_line_end(); // the body ends with the input: it keeps its last line end
            return kBodyAtEnd;
        }
        if (line_start) {
            while (join_soft && piece == BodyPiece::kLineEnd && !line.empty() &&
                   line.back() == '=' && (delimiter.empty() || !starts_with(line, delimiter)) &&
                   line.size() < kLineMax) {
                line.pop_back();
                const std::size_t joined = line.size();
                piece = ReadBodyPiece(in, joined, keep_tabs);
                if (piece == BodyPiece::kEndOfInput) {
                    piece = BodyPiece::kLineEnd; // write what was joined, then stop
                    break;
                }
            }
            const Delimiter own = MatchBoundary(line, boundary);
            if (own != Delimiter::kNone)
                return ended_by(in, boundary, own,
                                own == Delimiter::kClosing ? kBodyAtClosing : kBodyAtBoundary);
            // A line of the enclosing multipart ends this one too: its own
            // closing line is missing.
            const Delimiter outer = MatchBoundary(line, alternate);
            if (outer != Delimiter::kNone)
                return ended_by(in, alternate, outer, kBodyAtClosing);
        }
        bool soft_break = false;
        if (quoted_printable) {
            if (piece == BodyPiece::kLineEnd && !line.empty() && line.back() == '=') {
                line.pop_back();
                soft_break = true;
            }
            decode_quoted_printable(line);
        }
        const bool line_end = piece == BodyPiece::kLineEnd && !soft_break;
        if (out) {
            write_due_line_end();
            writer.write(line);
            line_end_due = line_end;
            if (line_end && keep_line_ends)
                due_line_end = in.line_end;
            count += line.size();
        } else {
            count += line.size();
        }
        line_start = piece == BodyPiece::kLineEnd;
    }
}

} // namespace qvamz::mailread
