// Text helpers of the header parsers: case-insensitive tests, header
// values and MIME parameters.  Every value taken from a header is plain
// data, cut to the limit of the field it goes to.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qvamz::mailread {

// The test strncasecmp(text, pattern, n) == 0: the first n characters
// agree, a shorter pattern must match the text's end exactly.
bool EqualsOverCI(std::string_view text, std::string_view pattern, std::size_t n);

// At most `max` bytes, never ending inside a UTF-8 sequence.
std::string Cut(std::string_view text, std::size_t max);

// The common library's in-place helpers on a std::string.
std::string RemoveQuotes(std::string text); // com_Remove_Quotes
std::string RTrim(std::string text);        // com_rtrim
std::string DelSpaces(std::string text);    // com_delspaces

// com_Decode_iso on a copy; `codepage` receives its answer.
std::string DecodeIso(std::string_view text, int &codepage);
// Text converted from `codepage` to UTF-8 (com_CodepageToWindows).
std::string CodepageToUtf8(std::string_view text, int codepage);
// Text converted from the named charset to UTF-8 (com_CharsetToUTF8).
std::string CharsetToUtf8(std::string_view text, std::string_view charset);

// The value of a header line: the text after its first ":", with one
// leading ";" and then blanks skipped.
std::string HeaderValue(std::string_view line);

// The text after the first `key` in `line` (case-insensitive), cut at the
// first of `stops`, at most `max` bytes; nothing when the key is absent.
std::optional<std::string> TextAfter(std::string_view line, std::string_view key,
                                     std::string_view stops, std::size_t max);

// "boundary=" value: leading blanks skipped, cut at ";", right-trimmed,
// quotes removed; or the boundary given in RFC 2231 pieces.
std::optional<std::string> BoundaryParam(std::string_view line);

// A file name parameter of a Content-Type or Content-Disposition line:
// "name=" / "filename=" (quoted or not), the RFC 2231 pieces name*0,
// name*1, name*2 and the extended forms name*=charset''%XX.. (decoded to
// UTF-8).  At most `max` bytes.
std::optional<std::string> NameParam(std::string_view line, std::size_t max);

// The "charset=" value, cut at ";" and at most `max` bytes (quotes kept),
// or the decoded RFC 2231 form "charset*=...''value".
std::optional<std::string> CharsetParam(std::string_view line, std::size_t max);

// The media type of a Content-Type line ("type/subtype"), lower case.
std::string MediaTypeOf(std::string_view line);

// The Content-ID of a line holding "Content-ID:": angle brackets and
// blanks dropped, at most kContentIdMax bytes.
std::string ContentIdOf(std::string_view line);

// Leading decimal or hexadecimal number of a text (0 when none).
long long LeadingNumber(std::string_view text, int base);

} // namespace qvamz::mailread
