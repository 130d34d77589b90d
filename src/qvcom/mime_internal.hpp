// Internals shared by the MIME, charset, address, date and filter half of
// libqvcom.  Nothing here is exported; the C API is qv/qvcom_mime.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "qv/qvcom.h"

namespace qvcom::mime {

// ---- text helpers ---------------------------------------------------------

// Position of `needle` in `text` ignoring ASCII case, npos when absent.

bool is_valid_utf8(std::string_view text);
bool is_ascii(std::string_view text);

// Length of the longest prefix of `text` of at most `max` bytes that does
// not end inside a UTF-8 sequence.
std::size_t utf8_cut(std::string_view text, std::size_t max);

// Copies `text` into a C buffer of `capacity` bytes, cutting at a UTF-8
// character boundary.  Returns false when the text was cut.
bool copy_out(std::string_view text, char *out, std::size_t capacity);

// ---- character sets (codepages.cpp) ----------------------------------------

// Windows code page of a MIME charset name; 0 when unknown.
int codepage_of_charset(std::string_view charset);
// Preferred MIME name of a Windows code page; "" when unknown.
std::string charset_of_codepage(int codepage);
// Name of the ICU converter that decodes text labelled `charset`.  Labels
// are widened to the superset that mail agents really send (iso-8859-1 to
// windows-1252, gb2312 to GBK, ...), as browsers do.  "" when ICU knows no
// converter for it.
std::string decoder_for_charset(std::string_view charset);
// The same for a Windows code page (0 = the ANSI code page, 1252).
std::string decoder_for_codepage(int codepage);

// Converts `in` from ICU converter `from` to converter `to`.  Unmappable
// characters become the target's substitute.  False when either converter
// does not exist.
bool convert(std::string_view in, const std::string &from, const std::string &to,
             std::string &out);
// Decodes bytes labelled `charset` to UTF-8.  An unknown label decodes as
// UTF-8 when the bytes are valid UTF-8, else as windows-1252.
std::string to_utf8(std::string_view bytes, std::string_view charset);

// ---- encoded words (encoded_words.cpp) -------------------------------------

// Decodes the RFC 2047 encoded words of `text` into UTF-8 `out`; returns the
// code page of the first word, 0 when there was none.
int decode_encoded_words(std::string_view text, std::string &out);

// ---- dates (mime_date.cpp) -------------------------------------------------

// Parses an RFC 5322 date (with the obsolete forms, asctime and ISO 8601)
// into seconds since 1970, UTC.
bool parse_mime_date(std::string_view text, std::int64_t &unix_seconds);
// Parses a job setting date "YYYY-MM-DD" or "YYYY-MM-DD[T ]HH:MM[:SS]" (UTC).
// `date_only` tells whether the time of day was left out.
bool parse_setting_date(std::string_view text, std::int64_t &unix_seconds, bool &date_only);

// ---- job filter settings ------------------------------------------------------

// The job's date range, both bounds included; all zero when none is set.
struct DateRange {
    qv_filetime first = 0;
    qv_filetime last = 0; // 0: no upper bound
};
DateRange current_date_range();
void reset_duplicate_store();
void reset_address_translation();

// ---- switches --------------------------------------------------------------

// The value token that follows switch `name` in the host's switch string.
bool switch_value(const char *name, std::string &value);

} // namespace qvcom::mime
