// What the host's logon dialog shows: labels, the default server list and
// the preset switch strings.  Touches no session state.
#pragma once

#include <string>
#include <string_view>

namespace qvamz {

// Sizes of the host's output buffers (documented in qv/qvamz.h); every
// text written is cut to fit them.
inline constexpr std::size_t kLogonLabelSize = 32;
inline constexpr std::size_t kServerListSize = 256;
inline constexpr std::size_t kPresetSwitchesSize = 64;

// Preset switch string of dialog preset `preset` (0..7); "" for others.
// Even presets are source jobs, odd ones target jobs; 0/1 mail, 2/3
// contacts, 4/5 calendar, 6/7 tasks.
std::string_view PresetSwitches(int preset);

// EWS host names of the WorkMail regions offered, separated by tabs.
std::string DefaultServerList();

// Fills the dialog texts; every pointer may be null.  `server_list` is
// only filled when it is empty on entry.
void FillLogonParameters(int preset, char *user_label, char *password_label,
                         char *server_label, char *empty7, char *option_label,
                         char *server_list, char *empty13, char *preset_switches);

} // namespace qvamz
