// Header text of built messages: record texts made safe for a header line,
// RFC 2047 encoding through com_Encode_iso, mailbox values, folding to
// RFC 5322 line lengths, the Date value, and the header lines copied from
// a message's own Internet header block.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "qv/record.h"

namespace qvamz::mime {

// Header lines are folded to stay within this many characters where the
// text has a blank to fold at.
inline constexpr std::size_t kHeaderLineSoftMax = 78;

// A record text field as a view: up to its terminator or the end of the
// array, whichever comes first (records from a host may lack the NUL).
template <std::size_t N> std::string_view Field(const char (&text)[N])
{
    return std::string_view(text, strnlen(text, N));
}

// ASCII case-insensitive prefix test and substring search.

// The text on one line: every CR LF, CR, LF, tab or other control
// character becomes one blank, so that record text can never start a new
// header line.
std::string SingleLine(std::string_view text);

// `text` as an RFC 5322 quoted-string: in double quotes, with every
// double quote and backslash inside escaped by a backslash.
std::string QuotedString(std::string_view text);

// "name: value" folded before single blanks (the one after the colon
// included) so that lines stay within kHeaderLineSoftMax characters where
// possible, ending with CRLF.  It never
// folds inside a run of blanks, before an "=" that does not begin an
// encoded word following another, or before "<": readers that unfold with
// a single blank, or that drop the blank before an encoded word, get back
// the value unchanged.
std::string FoldHeader(std::string_view name, std::string_view value);

// RFC 2047 encoding of header texts in the record's code page, through the
// common library's com_Encode_iso.  Remembers the name of the character
// set that the last encoding used.
class HeaderEncoder {
  public:
    explicit HeaderEncoder(int codepage);
    // The text (made single-line first) ready for an unstructured header.
    std::string Encode(std::string_view text);
    // A display name: a quoted-string for plain ASCII, encoded words when
    // the name needs them.
    std::string Phrase(std::string_view name);
    // A Content-Type / Content-Disposition parameter value, quoted.
    std::string Parameter(std::string_view value);
    const std::string &charset() const { return charset_; }

  private:
    int codepage_;
    std::string charset_;
};

// The mailbox value of a name and an address: "name" <address>, the quoted
// name alone when there is no address, <address> alone when there is no
// name.  A name that holds "<" carries its own address: the text inside the
// angle brackets is the address and the rest (quotes removed) the name.
// Empty when both are empty.
std::string MailboxValue(std::string_view name, std::string_view address,
                         HeaderEncoder &encoder);

// Minutes east of UTC of an offset text such as "+0100" or "-0530"; 0 for
// an empty or malformed text.
int UtcOffsetMinutes(std::string_view offset_text);

// The Date value of a UTC FILETIME shown at the given offset:
// "Sun, 06 Dec 2026 15:04:05 +0100" (English names).
std::string DateValue(qv_filetime utc, std::string_view offset_text);

// Reads one line of any length without its line end (LF, CR LF or a CR
// before the end of the file).  False at the end of the file.
bool ReadTextLine(std::FILE *in, std::string &line);

// True when `line` begins like a header field: a name of printable
// characters without blanks and then ":".
bool IsHeaderFieldLine(std::string_view line);

// The message's own Internet headers (part file of type 11) as the header
// block of the built message: every header field except Content-Type and
// Content-Transfer-Encoding (with their continuation lines) and lines
// holding "boundary=", each ending with CRLF; blank lines and lines that
// are not header fields are left out.  Adds "MIME-Version: 1.0" when the
// block has none.  False when the file cannot be opened.
bool WriteOwnHeaders(std::FILE *out, const std::string &header_path);

// The thread headers (Thread-Topic, Thread-Index, References,
// In-Reply-To) of a header part file, in file order with their
// continuation lines.  A file up to `in_memory_max` bytes is read whole.
void WriteThreadHeaders(std::FILE *out, const std::string &header_path,
                        std::size_t in_memory_max);

} // namespace qvamz::mime
