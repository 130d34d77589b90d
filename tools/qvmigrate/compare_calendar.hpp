// compare_calendar.hpp - the demo check for calendars: the calendar
// records of a source and a target archive (both read back through the
// connector) are expanded into occurrences over three years, series by
// their recurrence fields as an RRULE (libical), with deleted occurrences
// left out and moved ones moved, and the two lists compared: subject, UTC
// start and end, all-day, location and attendees of every occurrence, and
// the number of recurring series.  Attendees are compared for the meetings
// the source mailbox organized: the connector leaves them out of anyone
// else's meeting it writes.
#pragma once

#include <string>
#include <vector>

#include "jobs.hpp"
#include "qv/record.h"
#include "record_archive.hpp"

namespace qvmigrate {

inline constexpr int kCalendarCheckYears = 3;

struct CalendarOccurrence {
    std::string subject, location;
    qv_filetime start = 0, end = 0; // UTC
    bool all_day = false;
    std::string attendees; // addresses, lower case, sorted, ", " between them

    auto operator<=>(const CalendarOccurrence &) const = default;
};

// The occurrences of one calendar record that start in [from, to): its own
// time for a single event, else the series in its zone (the record's
// time_zone, UTC when empty or unknown) with its breakouts applied.
std::vector<CalendarOccurrence> expand_calendar_record(const qv_message &record, qv_filetime from,
                                                       qv_filetime to);

// The differences between the calendar folders of two archives, folder by
// folder path, in words.  `work_dir` takes the records' part files while
// they are read.
std::vector<std::string> compare_calendar_archives(const ArchiveReader &source, const ArchiveReader &target,
                                                   const std::string &work_dir);

// The demo's calendar check: exports the calendar folders of both
// mailboxes into `dir` (source/ and target/) and compares the archives.
std::vector<std::string> compare_calendars(HostEnvironment &env, const JobSettings &settings,
                                           const Connection &source, const Credentials &source_credentials,
                                           const Connection &target, const Credentials &target_credentials,
                                           const std::filesystem::path &dir);

} // namespace qvmigrate
