// Writing calendar records (item type 2) into the target folder: one
// CreateItem with a <t:CalendarItem> per record, built field by field as
// EWS XML, or, with "/D298" for records with recipients, as the record's
// iCalendar text in MimeContent.  Then the file attachments, the meeting
// state of meetings, and the moved and deleted occurrences of a series.
#pragma once

#include <string>

#include "qv/record.h"

namespace qvamz {
struct Session;
}

namespace qvamz::calendar {

inline constexpr char kCalendarRequestFile[] = "cal-in.xml";
inline constexpr char kCalendarAnswerFile[] = "cal-out.xml";
inline constexpr char kMeetingStateRequestFile[] = "attendees.xml";
inline constexpr char kMeetingStateAnswerFile[] = "attendees-out.xml";

// Creates the calendar item.  0 when it was stored (attachment failures
// are logged), or left out on purpose: in responses mode ("/D207") an
// event the logon mailbox did not organize.  1234 when it was lost: the
// request file could not be made, the server refused it (an HTTP status
// below 500, or an error response message) or kept failing after the
// "/D261" retries.  A stored series whose moved or deleted occurrences
// could not all be applied is reported to the host with com_ReportLoss.
int WriteCals(Session &session, qv_message &msg, const std::string &work_dir);

} // namespace qvamz::calendar
