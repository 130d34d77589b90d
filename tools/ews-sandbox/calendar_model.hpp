// Calendar items as the sandbox keeps them.  Exchange keeps an
// appointment's fields as MAPI named properties (PSETID_Appointment,
// PSETID_Meeting); the sandbox stores the single-valued ones under the
// same ids among the item's extended properties, so an ExtendedFieldURI
// reaches the same value.  Structured values (recurrence, attendees,
// moved and deleted occurrences) are kept as string arrays in a property
// set of the sandbox's own, so they travel with the item through every
// move, copy and delete of the store.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "mail_store.hpp"

namespace sandbox {

inline constexpr const char *kAppointmentClass = "IPM.Appointment";

// IPM.Appointment and its subclasses (IPM.Appointment.Occurrence, ...).
bool is_calendar_class(const std::string &item_class);

struct Attendee {
    std::string name, address;
    std::string response = "Unknown"; // ResponseTypeType
    std::optional<UnixTime> last_response;
};

// A Recurrence element as EWS states it.
struct RecurrenceRule {
    std::string pattern;           // Daily, Weekly, AbsoluteMonthly, RelativeMonthly,
                                   // AbsoluteYearly, RelativeYearly
    int interval = 1;
    std::string days_of_week;      // EWS list: "Monday Wednesday", "Weekday", "Day", ...
    std::string day_of_week_index; // First, Second, Third, Fourth, Last
    int day_of_month = 0;
    std::string month;             // January ... December
    std::string first_day_of_week; // Weekly only, may be empty
    std::string range;             // NoEnd, EndDate, Numbered
    std::string start_date;        // yyyy-mm-dd, local to the item's zone
    std::string end_date;          // EndDate ranges
    int count = 0;                 // Numbered ranges

    bool operator==(const RecurrenceRule &) const = default;
};

// An occurrence moved or changed: its place in the series and what differs.
struct ModifiedOccurrence {
    UnixTime original_start = 0;
    UnixTime start = 0, end = 0;
    std::optional<std::string> subject, location, body;
    std::optional<std::string> busy;
};

struct CalendarData {
    UnixTime start = 0, end = 0;
    bool all_day = false;
    std::string location;
    std::string busy = "Busy"; // LegacyFreeBusyStatus
    std::string uid;
    std::string body;
    bool body_html = false;
    std::string my_response = "Organizer";
    bool is_meeting = false;
    std::string zone_id;       // Windows zone id; empty: UTC
    std::vector<Attendee> required, optional, resources;
    std::optional<RecurrenceRule> recurrence;
    std::vector<ModifiedOccurrence> modified; // in the order they were made
    std::vector<UnixTime> deleted;            // original starts of removed occurrences
};

CalendarData read_calendar(const StoredItem &item);
// Replaces every calendar property of the item by those of `data`.
void write_calendar(StoredItem &item, const CalendarData &data);

// The global object id Exchange derives from a UID ([MS-OXOCAL]
// PidLidGlobalObjectId): a UID that is itself the hex form of such an id
// is taken as it is, any other is wrapped as a "vCal-Uid" id.
std::string global_object_id(const std::string &uid);
// The UID Exchange gives an item created without one: the hex form of a
// fresh global object id (derived from `seed`, so seeding is repeatable).
std::string generated_uid(const std::string &seed);

} // namespace sandbox
