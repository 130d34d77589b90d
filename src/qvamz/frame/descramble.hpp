// Switch values the host scrambled (passwords, the proxy setting): "~"
// followed by two hex digits per byte, byte k shifted up by entry k mod 26
// of the key table libqvcom shares with the host.
#pragma once

#include <string>

namespace qvamz {

// Restores a scrambled value in place.  At most kDescrambledMax bytes
// result.  A value not starting with "~" is left alone.  Malformed hex
// (odd length, non-hex digits, a zero byte) empties the value, logs a
// warning and returns false.
bool DescrambleValue(std::string &value);

} // namespace qvamz
