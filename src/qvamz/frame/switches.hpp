// Logon switches: the host's switch string turned into session settings.
//
// ParseSwitches() walks the tokens that com_GetParm() hands out and sets
// the switch settings of the session state (gSw and the g-values named in
// docs/frame.md).  Unknown tokens, missing values and unparsable numbers
// are not errors.  A switch that takes a value reads the next token, but
// does not consume it: the next pass looks at that token again as a
// switch, and the rest of the current pass compares against the value.
#pragma once

#include <string>
#include <string_view>

namespace qvamz {

// Size of the token buffer given to com_GetParm (longer tokens are cut).
inline constexpr std::size_t kSwitchTokenSize = 2048;
// Longest group name; it ends up in the record's 512-byte group_folder.
inline constexpr std::size_t kGroupNameMax = 511;

// Reads every switch token and applies it.  Runs at every logon; settings
// not named in the string keep their earlier values.
void ParseSwitches();

// Restores a value the host scrambled: "~" followed by two hex digits per
// byte, byte k shifted up by entry k mod 26 of the shared key table.  At
// most kDescrambledMax bytes result.  A value not starting with "~" is left
// alone.  Malformed hex (odd length, non-hex digits, a zero byte) empties
// the value, logs a warning and returns false.
bool DescrambleValue(std::string &value);

// Proxy of the environment (https_proxy, then HTTPS_PROXY) as a proxy
// specification "host=...;port=...[;protocol=...][;user=...;password=...]";
// "" when none is set or it cannot be read.  Credentials that cannot be
// carried in the proxy specification (";" or "=") go straight into
// gProxyUser / gProxyPassword.
std::string SystemProxySpec();

// "****" and the last four characters of a secret; only asterisks when it
// has four characters or fewer; "" stays "".  For debug lines.
std::string MaskSecret(std::string_view secret);

} // namespace qvamz
