// Hexadecimal digits of percent-encoding, quoted-printable and
// descrambled switch values.
#pragma once

#include <string>
#include <string_view>

namespace qvcommon {

// 0..15 for 0-9, a-f, A-F; -1 for any other character.
int HexDigitValue(char c);

// "%XX" escapes undone; a "%" without two hex digits stays as it is.
std::string PercentDecoded(std::string_view text);

} // namespace qvcommon
