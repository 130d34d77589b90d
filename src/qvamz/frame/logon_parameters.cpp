// Labels and presets of the host's logon dialog.
#include "frame/logon_parameters.hpp"

#include <array>

namespace qvamz {
namespace {

// The regions offered in the dialog, in the order the host lists them.
constexpr std::array<std::string_view, 3> kEwsHosts = {
    "ews.mail.us-east-1.awsapps.com",
    "ews.mail.us-west-2.awsapps.com",
    "ews.mail.eu-west-1.awsapps.com",
};

constexpr std::array<std::string_view, 8> kPresets = {
    "/AUTHAMZD",        "/AUTHAMZD2;/D251", "/AUTHAMZD;/CF",  "/AUTHAMZD2;/CF;/LASTFIRST;/D219",
    "/AUTHAMZD;/CAF",   "/AUTHAMZD2;/CAF",  "/AUTHAMZD;/CAT", "/AUTHAMZD2;/CAT",
};

// The calendar source preset offers the "upcoming events only" option.
constexpr int kUpcomingOptionPreset = 4;

// Copies `text` into a host buffer of `size` bytes, cut to fit.
void CopyOut(char *out, std::string_view text, std::size_t size)
{
    if (out == nullptr)
        return;
    std::size_t n = text.size() < size ? text.size() : size - 1;
    text.copy(out, n);
    out[n] = '\0';
}

} // namespace

std::string_view PresetSwitches(int preset)
{
    if (preset < 0 || static_cast<std::size_t>(preset) >= kPresets.size())
        return {};
    return kPresets[static_cast<std::size_t>(preset)];
}

std::string DefaultServerList()
{
    std::string list;
    for (std::string_view host : kEwsHosts) {
        if (!list.empty())
            list += '\t';
        list += host;
    }
    return list;
}

void FillLogonParameters(int preset, char *user_label, char *password_label,
                         char *server_label, char *empty7, char *option_label,
                         char *server_list, char *empty13, char *preset_switches)
{
    CopyOut(user_label, "User Email:", kLogonLabelSize);
    CopyOut(password_label, "Password:", kLogonLabelSize);
    CopyOut(server_label, "Server Name:", kLogonLabelSize);
    CopyOut(empty7, "", kLogonLabelSize);
    CopyOut(empty13, "", kLogonLabelSize);
    CopyOut(option_label, preset == kUpcomingOptionPreset ? "Upcoming events only" : "",
            kLogonLabelSize);
    if (server_list != nullptr && server_list[0] == '\0')
        CopyOut(server_list, DefaultServerList(), kServerListSize);
    CopyOut(preset_switches, PresetSwitches(preset), kPresetSwitchesSize);
}

} // namespace qvamz
