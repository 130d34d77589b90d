// The zone elements of a recurring calendar item, and the start of the
// host's local day for all-day events.
#pragma once

#include <string>
#include <string_view>

#include "qv/record.h"

namespace qvamz::calendar {

// Whether daylight saving time is in force at a UTC instant.
using DstTest = bool (*)(qv_filetime utc);

// The host's rules (com_DateIsDST).
bool HostDateIsDst(qv_filetime utc);

// The zone elements written right after a recurring item's
// "</t:Recurrence>": the record's time_zone (else the session zone name),
// mapped to a Windows id and XML-escaped.  Servers before version 15 get
// MeetingTimeZone (none for a daily series, whose rules it would shift);
// version 15 and later get StartTimeZone and EndTimeZone with the same id.
std::string ZoneElements(const qv_message &record, std::string_view session_zone_name,
                         int server_major_version);

// The UTC instant at which the host's local day holding `utc` begins.
// `bias` is the zone's standard bias in minutes (UTC = local + bias) and
// `dst_offset` the extra bias while daylight saving time is in force
// (normally -60).  The local day is taken with the offset in force at
// `utc` itself, so a summer date read in winter still lands on its own day.
qv_filetime LocalDayStart(qv_filetime utc, int bias, int dst_offset,
                          DstTest is_dst = HostDateIsDst);

} // namespace qvamz::calendar
