// Hexadecimal digits of percent-encoding, quoted-printable and
// descrambled switch values.
#pragma once

namespace qvcommon {

// 0..15 for 0-9, a-f, A-F; -1 for any other character.
int HexDigitValue(char c);

} // namespace qvcommon
