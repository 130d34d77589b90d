// ASCII case-insensitive comparisons of protocol text (tag names, header
// names, charset names, folder paths).  Bytes above 0x7F compare exactly.
#pragma once

#include <cstddef>
#include <string_view>

namespace qvcommon {

char AsciiLower(char c);
bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
// Position of `needle` in `text` at or after `from`, or npos.
std::size_t FindNoCase(std::string_view text, std::string_view needle, std::size_t from = 0);
bool ContainsNoCase(std::string_view text, std::string_view needle);

} // namespace qvcommon
