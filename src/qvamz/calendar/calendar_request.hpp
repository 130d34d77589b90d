// The EWS XML of a calendar item being written (the XML way of WriteCals):
// the inside of <t:CalendarItem>, field by field, and the rules that decide
// whether attendees are written.
#pragma once

#include <string>
#include <string_view>

#include "calendar/recurrence_writer.hpp"
#include "qv/record.h"

namespace qvamz::calendar {

// What the request depends on besides the record.
struct CalendarRequestOptions {
    bool meeting_responses = false; // "/D207"
    bool write_attendees = false;   // "/D211"
    std::string own_mailbox;        // the logon mailbox (never written as an attendee)
    qv_filetime now = 0;            // reminders of events that started are not set
    RecurrenceZone zone;            // session zone values (all-day days, series)
};

enum class AttendeeRule {
    kWrite,    // attendee lists are written
    kLeaveOut, // the item is written without them
    kSkipItem, // responses mode and the user is not the organizer: nothing is written
};

// The logon mailbox is the organizer: the record says its source mailbox
// organized it, or the organizer's name or address is the logon mailbox
// (case ignored).
bool UserIsOrganizer(const qv_message &msg, std::string_view own_mailbox);

AttendeeRule DecideAttendees(const qv_message &msg, const CalendarRequestOptions &options);

// RequiredAttendees (kind 3) and OptionalAttendees (kind 11), without the
// logon mailbox and recipients named "Unknown"; the organizer (kind 31)
// never is an attendee.
std::string AttendeesXml(const qv_message &msg, std::string_view own_mailbox);

// Appends the "Attendee Responses" list to the record's text body part
// (a part is added when there is none).  False when the part file could
// not be written.
bool AppendResponsesBlock(qv_message &msg, const std::string &work_dir);

// The elements of the CalendarItem, Subject to the zone elements, in the
// order the schema wants.  All-day events end a day later when their end
// equals their start, both times move to midnight in the event's zone
// (EventDayStart), and the item names that zone: the record keeps these
// changes, and the series cap of RecurrenceXml.
// `attendees` says whether attendee lists are written.
std::string CalendarItemXml(qv_message &msg, const CalendarRequestOptions &options,
                            const std::string &work_dir, bool attendees);

} // namespace qvamz::calendar
