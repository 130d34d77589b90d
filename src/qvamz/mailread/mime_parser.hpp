// The MIME part parser: the parts of a multipart body, read one after the
// other from the stream on which the message's header block was read.
// Each part's body goes into its own part file; nested multiparts and
// embedded messages recurse.  Quoted-printable is undone while copying, and
// so is the base64 of attachments; base64 text and HTML bodies stay
// encoded for the body handling, which picks the one text body first.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>

#include "mailread/mail_input.hpp"
#include "qv/qvcom.h"

namespace qvamz::mailread {

// Answers of CopyPartBody.
inline constexpr int kBodyAtBoundary = 0; // a delimiter line ended the part; more follow
inline constexpr int kBodyAtEnd = 2;      // the input ended
inline constexpr int kBodyAtClosing = 3;  // the closing line (or an enclosing boundary) ended it

// Answers of ParseMimeParts besides kParseRefused (-101).
inline constexpr int kPartsClosedAtHeader = 0; // closing line where a part's headers were due
inline constexpr int kPartsInputEnded = 1;
inline constexpr int kPartsClosed = 3;

// Whether `line` is a delimiter line ("--" boundary) or the closing line
// ("--" boundary "--") of `boundary`, blanks after it allowed.  The
// boundary is compared ignoring case.
enum class Delimiter { kNone, kBoundary, kClosing };
Delimiter MatchBoundary(std::string_view line, std::string_view boundary);

// Reads up to and including the first delimiter line of `boundary`.
// kNotFound: the input ended, or a delimiter of one of `stops` (the
// boundaries of enclosing multiparts) came first.
enum class PreambleEnd { kBoundary, kClosing, kNotFound };
PreambleEnd SkipPreamble(MailInput &in, std::string_view boundary,
                         std::initializer_list<std::string_view> stops);

// Reads the parts of the multipart `boundary` (inside the multipart
// `enclosing`, empty at the top) into `msg`.  `charset` is the one a part
// without its own charset has; in a digest (multipart/digest) a part
// without a Content-Type is a message.  Answers kParseRefused, or one of
// the kParts* values above.
int ParseMimeParts(qv_message *msg, std::string_view boundary, std::string_view enclosing,
                   const std::string &work_dir, MailInput &in, bool digest,
                   std::string_view charset);

// Whether a part body of this code is base64 text of an attachment, which
// the copy decodes straight into the part file (the part is then an
// attachment, code 0): the finishing steps would decode it into the same
// bytes, through a second file.
inline bool DecodedWhileCopied(int code) { return code == 3 || code == 15; }

// Whether a line can start a header field: a field name (printable
// characters other than blank and ":") and a ":", or an mbox "From " line.
// A header block that runs into any other line ends before it.
bool IsHeaderFieldLine(std::string_view line);

// Copies a part body up to the delimiter of `boundary` into `out` (may be
// null: the body is skipped), CR LF after every line, quoted-printable
// undone when `quoted_printable`.  When a line of `alternate` (the
// enclosing multipart) comes first, it ends the part with kBodyAtClosing.
// `count` receives the bytes written (without `out`: the content bytes
// passed over).  With raw_bytes > 0, exactly that many bytes are copied as
// they are and the boundary line after them is read.  With
// `decode_base64`, `out` receives what the base64 text of the body
// encodes; `count` still counts the text.
int CopyPartBody(MailInput &in, FILE *out, std::string_view boundary, std::string_view alternate,
                 int code, bool quoted_printable, std::string_view charset,
                 std::uint64_t &count, std::int64_t raw_bytes, bool decode_base64 = false);

} // namespace qvamz::mailread
