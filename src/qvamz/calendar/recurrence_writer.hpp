// The Recurrence element of a calendar series being written, followed by
// its zone elements.
#pragma once

#include <string>
#include <string_view>

#include "qv/record.h"

namespace qvamz::calendar {

// Most occurrences a numbered series of each pattern may ask for; larger
// counts are lowered in the record, so the occurrence step sees the same.
inline constexpr int kYearlyOccurrencesMax = 100;
inline constexpr int kMonthlyOccurrencesMax = 1200;
inline constexpr int kWeeklyOccurrencesMax = 5200;
inline constexpr int kDailyOccurrencesMax = 36500;

// The session values the element depends on.
struct RecurrenceZone {
    std::string_view session_zone_name; // the host's Windows zone name
    int session_bias = 0;               // minutes, UTC = local + bias
    int session_dst_offset = -60;       // extra bias while daylight saving time is in force
    int server_major_version = 0;
};

// The UTC instant at which the local day holding `utc` begins in the
// record's zone (its time_zone, else the session zone) when the zone rules
// know it, else in the host's zone (LocalDayStart).  All-day events run
// from midnight to midnight where they were made.
qv_filetime EventDayStart(const qv_message &msg, qv_filetime utc, const RecurrenceZone &zone);

// The day a series begins, as "YYYY-MM-DD": the local date of start_time
// in the series' own zone (the record's time_zone, else the session zone)
// when the zone rules know it, else in the host's zone.  The zone elements
// tell the server to read the StartDate in that same zone, so a date taken
// in another zone could begin an evening series a day late.
std::string SeriesStartDate(const qv_message &msg, const RecurrenceZone &zone);

// "<t:Recurrence>" (pattern and range) and the zone elements; "" for a
// recur_type that names no pattern.  Caps msg.recur_count to the pattern's
// maximum.
std::string RecurrenceXml(qv_message &msg, const RecurrenceZone &zone);

} // namespace qvamz::calendar
