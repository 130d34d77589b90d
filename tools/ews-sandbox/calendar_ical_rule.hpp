// An iCalendar RRULE as the recurrence pattern and range of a calendar
// item, and back.
#pragma once

#include <libical/ical.h>

#include <optional>
#include <string>

#include "calendar_model.hpp"
#include "calendar_zone.hpp"
#include "ops_common.hpp"

namespace sandbox {

// The pattern of `rule` for a series whose first start is `start` (local
// time in `zone_id`).  Patterns EWS cannot state (hourly, by week number,
// several ordinals, ...) and values outside EWS's limits give
// ErrorCalendarInvalidRecurrence.  A yearly rule with an interval becomes
// the monthly pattern of 12 x interval months, as EWS's yearly patterns
// have no interval.
std::optional<RecurrenceRule> rule_from_rrule(const icalrecurrencetype &rule, const LocalTime &start,
                                              const std::string &zone_id, EwsError &error);

// The RRULE value of a series with its range: COUNT, or UNTIL as the last
// second of the end date (a UTC time for timed series, a date for all-day
// ones).
std::string rrule_with_range(const RecurrenceRule &rule, const std::string &zone_id, bool all_day);

} // namespace sandbox
