// One calendar record as an iCalendar object (RFC 5545), the form in which
// the calendar writer hands meetings to the server as MimeContent: a
// VCALENDAR with the zone's VTIMEZONE, one VEVENT for the event or series
// (attendees, organizer, notes, RRULE, EXDATE per deleted occurrence, an
// alarm) and one VEVENT with a RECURRENCE-ID per modified occurrence.
#pragma once

#include <string>
#include <string_view>

#include "qv/record.h"

namespace qvamz::calendar {

struct ICalendarContext {
    std::string work_dir;         // where the record's part files and breakout files are
    bool write_attendees = false; // the /D211 flag as WriteCals sets it for the call
};

// One complete VCALENDAR object for `msg`, lines ending in CR LF.  Adjusts
// the record as the writer's rules say (title cut at a line end, end not
// before start, empty occurrence subject and location from the series').
// Start and end stay UTC in the record.
std::string ICalendarWriter(qv_message &msg, const ICalendarContext &context);

// The DESCRIPTION property of a UTF-8 text: escaped as a TEXT value and
// folded, ending with CR LF; "" when nothing of the text is left.
std::string FoldDescription(std::string_view text);

} // namespace qvamz::calendar
