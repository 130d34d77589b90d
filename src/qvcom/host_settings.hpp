// host_settings.hpp - what the host set up: switch tokens, directories and
// the loss handler.  Module-wide because the C interface is module-wide;
// nothing else in the library keeps settings.
#ifndef QVCOM_HOST_SETTINGS_HPP
#define QVCOM_HOST_SETTINGS_HPP

#include <optional>
#include <string>

namespace qvcom::detail {

// The host directory `which` (2 or 6) with its trailing separator, or
// nothing when it was never set.
std::optional<std::string> host_directory(int which);

} // namespace qvcom::detail

#endif
