// Logon switches: the host's switch string turned into session settings.
//
// ParseSwitches() walks the tokens that com_GetParm() hands out and sets
// the session's settings (and the few state values a switch presets, see
// frame/session.hpp).  Unknown tokens, missing values and unparsable numbers
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

struct Session;

// Reads every switch token and applies it to the session.  Runs at every
// logon; settings not named in the string keep their earlier values.
void ParseSwitches(Session &session);

// "****" and the last four characters of a secret; only asterisks when it
// has four characters or fewer; "" stays "".  For debug lines.
std::string MaskSecret(std::string_view secret);

} // namespace qvamz
