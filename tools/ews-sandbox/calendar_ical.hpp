// Calendar items as iCalendar (RFC 5545): the MimeContent of a
// CalendarItem in CreateItem read into the calendar model the XML elements
// build, and the MimeContent GetItem serves for a calendar item.
#pragma once

#include <libical/ical.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "calendar_model.hpp"
#include "calendar_render.hpp"
#include "ops_common.hpp"

namespace sandbox {

// Reads `content` (a VCALENDAR text, or a MIME message with a
// text/calendar part) into `item` and `data`; `mailbox_address` is the
// mailbox the item is made in (it is the organizer unless ORGANIZER names
// someone else).  Fails with ErrorMimeContentConversionFailed for content
// that holds no readable event, and with ErrorCalendarInvalidRecurrence for
// a rule the calendar cannot keep.  Nothing is changed on failure.
bool calendar_from_icalendar(std::string_view content, const std::string &mailbox_address,
                             StoredItem &item, CalendarData &data, EwsError &error);

// The MIME message a calendar item (or one occurrence of a series) is
// served as: one text/calendar part with a VCALENDAR of the item.
std::string calendar_item_mime(const ItemInfo &info, const StoredItem &stored,
                               const OccurrenceView *occurrence);

// ---- shared by the reading and writing halves --------------------------------

struct IcalComponentFree {
    void operator()(icalcomponent *c) const { icalcomponent_free(c); }
};
using IcalComponentPtr = std::unique_ptr<icalcomponent, IcalComponentFree>;

// How the times of one TZID are read: in a Windows zone the calendar model
// knows (the zone is kept on the item), or, for a VTIMEZONE that matches
// none, through libical with that VTIMEZONE (the times are kept in UTC).
struct IcalZone {
    std::string windows_id;            // empty: UTC or `custom`
    icaltimezone *custom = nullptr;    // owned by the VCALENDAR it came from
};

// The zone a TZID names: a Windows id, a tz database name (also behind a
// prefix such as "/example.org/2024_1/Europe/Berlin"), or a VTIMEZONE of
// `calendar` whose offsets match a Windows zone over the years around
// `near`.  nullopt for a TZID with neither a name nor a VTIMEZONE.
std::optional<IcalZone> resolve_ical_zone(const std::string &tzid, icalcomponent *calendar, UnixTime near);

// A VTIMEZONE of a Windows zone with the rules in force at `near` (one
// STANDARD and one DAYLIGHT with yearly rules, or one STANDARD), its TZID
// the Windows id; empty for UTC.
std::string vtimezone_of(const std::string &windows_id, UnixTime near);

// libical's UTC zone, made once: libical builds it on first use without a
// lock, and the server reads calendars on several threads.
icaltimezone *ical_utc();

// The tz database name of a Windows zone id (empty for UTC or unknown).
std::string tz_name_of_windows_zone(const std::string &windows_id);

} // namespace sandbox
