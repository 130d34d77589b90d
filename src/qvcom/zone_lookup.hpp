// zone_lookup.hpp - ICU zones by the names calendar records carry, shared
// by the zone offset routines and the iCalendar routines.
#pragma once

#include <unicode/timezone.h>

#include <memory>
#include <string>
#include <string_view>

namespace qvcom::detail {

using ZonePtr = std::unique_ptr<icu::TimeZone>;

// The zone of a tz database id ("America/New_York") or a Windows zone id
// ("Eastern Standard Time"); null for a name ICU does not know.
ZonePtr zone_named(std::string_view name);

// The tz database id of the host's zone (TZ, /etc/localtime, ICU's guess,
// else "UTC").
std::string host_zone_id();

} // namespace qvcom::detail
