// The session time zone: the zone of the machine the connector runs on, as
// the four values the calendar and the MIME builder use (bias, daylight
// bias, UTC offset text, Windows standard zone name).  The zone is the one
// TZ names, else /etc/localtime, else ICU's idea of the host zone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qvamz {

struct SessionTimeZone {
    std::string zone_id;       // tz database id the values come from
    int bias = 0;              // minutes, UTC = local + bias (300 for UTC-05:00)
    int daylight_bias = 0;     // extra bias while DST is in force (-60), 0 without DST
    bool daylight_now = false; // DST is in force at the given instant
    std::string utc_offset_text; // "+0100", "-0500": local offset from UTC now
    std::string windows_name;    // "W. Europe Standard Time" (UTF-8, <= 255 bytes)
};

// The values of zone `zone_id` at `unix_seconds`.  An id ICU does not know
// gives the values of UTC with that id as its name.
SessionTimeZone DescribeTimeZone(std::string_view zone_id, std::int64_t unix_seconds);

// The tz database id of the host's zone: TZ (a leading ":" dropped), the
// target of /etc/localtime, or ICU's detection; "UTC" when all fail.
std::string HostTimeZoneId();

// Sign, two-digit hours and minutes of the local offset for bias `bias`
// (300 -> "-0500", -330 -> "+0530", 0 -> "+0000").
std::string UtcOffsetText(int bias);

} // namespace qvamz
