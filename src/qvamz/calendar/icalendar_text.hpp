// Texts inside iCalendar content lines (RFC 5545 3.1-3.3).  A record's
// subject, location, names and notes may hold anything a source system
// allowed: line ends, commas, semicolons, control characters, broken
// UTF-8.  Written as they stand they would end a line early, split a
// value, or make the object unreadable, so every text goes through these.
#pragma once

#include <string>
#include <string_view>

namespace qvamz::calendar {

// Longest content line in octets, CR LF not counted.
inline constexpr std::size_t kContentLineOctets = 75;

// A TEXT value: invalid UTF-8 and control characters other than tab left
// out; backslash, semicolon and comma escaped; CR LF, a lone CR and a lone
// LF each become the escaped newline "\n".
std::string EscapeText(std::string_view text);

// A parameter value (a CN): line ends and control characters left out, a
// double quote (which no parameter value can hold) becomes a single one,
// and the whole is quoted when it holds ':', ';' or ','.
std::string ParamValue(std::string_view text);

// A URI value (mailto:...): control characters and line ends left out,
// so that the value cannot end its line.
std::string UriValue(std::string_view text);

// One content line, folded: CR LF plus one space before every 75 octets,
// never inside a UTF-8 sequence; ends with CR LF.
std::string FoldLine(std::string_view line);

// A record text in the record's code page (0 = not stated) as UTF-8.
std::string RecordTextUtf8(std::string_view text, int codepage);

} // namespace qvamz::calendar
