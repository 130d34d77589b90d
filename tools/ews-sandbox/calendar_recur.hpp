// Recurring series: the Recurrence element read and written, and the
// occurrences of a series expanded by libical's recurrence iterator in the
// item's own zone, so a 09:00 series stays at 09:00 local time across
// daylight saving changes.
#pragma once

#include <libxml/tree.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "calendar_model.hpp"
#include "ops_common.hpp"

namespace sandbox {

// <t:Recurrence>: one pattern and one range.  Values Exchange refuses
// (interval below 1, a day of month outside 1..31, a weekly pattern
// without days, a range without a start, a count below 1) give
// ErrorCalendarInvalidRecurrence.
std::optional<RecurrenceRule> parse_recurrence(xmlNodePtr recurrence, EwsError &error);
void write_recurrence(XmlOut &out, const RecurrenceRule &rule);

// The iCalendar RRULE of the pattern (without the range).  A day of month
// that some months lack falls on their last day, as Exchange places it.
std::string rrule_of(const RecurrenceRule &rule);

// One place of the series: its 1-based index among all the pattern's
// occurrences (deleted ones count) and its original start.
struct SeriesInstance {
    int index = 0;
    UnixTime start = 0;
};

// The series' occurrences in order, as long as they start before `before`
// and at most `limit` of them; the range's count and end date apply.
std::vector<SeriesInstance> expand_series(const CalendarData &series, UnixTime before,
                                          std::size_t limit);

// The local start of the first occurrence on or after the range's start,
// used to place the master; nullopt when the series has none.
std::optional<UnixTime> first_series_start(const CalendarData &series);

} // namespace sandbox
