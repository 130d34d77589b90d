// Time zones of calendar items.  Clients name zones by their Windows ids
// ("Eastern Standard Time"); the rules come from ICU's copy of the tz
// database, reached through ICU's Windows-to-tz mapping.  The sandbox
// keeps no zone table of its own.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "mail_codec.hpp"
#include "xml_out.hpp"

namespace sandbox {

// A wall-clock time in some zone.
struct LocalTime {
    int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

// Whether ICU knows the Windows id (empty and "UTC" always are).
bool known_windows_zone(const std::string &windows_id);
// The Windows id of a tz-database name, empty when there is none.
std::string windows_zone_for(const std::string &tz_name);

// Conversions in the zone a Windows id names (UTC for an empty or unknown
// id).  A wall time that a spring-forward change skips is taken as if the
// clock had not changed yet; one that occurs twice is its first instant.
UnixTime local_to_utc(const std::string &windows_id, const LocalTime &local);

// The same conversions for many times in one zone (a series' expansion),
// without looking the zone up each time.
class ZoneClock {
  public:
    explicit ZoneClock(const std::string &windows_id);
    ~ZoneClock();
    ZoneClock(const ZoneClock &) = delete;
    ZoneClock &operator=(const ZoneClock &) = delete;
    UnixTime to_utc(const LocalTime &local);
    LocalTime to_local(UnixTime t);

  private:
    struct Calendar;
    std::unique_ptr<Calendar> calendar_;
};
LocalTime utc_to_local(const std::string &windows_id, UnixTime t);
// UTC offset in minutes of the zone at `t` (east positive).
int utc_offset_minutes(const std::string &windows_id, UnixTime t);

// Version 14's <t:MeetingTimeZone TimeZoneName=...> with BaseOffset and,
// for zones with daylight saving time, the Standard and Daylight changes
// in force in the year of `near`.
void write_meeting_time_zone(XmlOut &out, const std::string &windows_id, UnixTime near);
// <t:StartTimeZone Id=...> / <t:EndTimeZone Id=...> (TimeZoneDefinitionType).
void write_zone_definition(XmlOut &out, const char *element, const std::string &windows_id);

// "2024-03-05" of a LocalTime and back.
std::string format_local_date(const LocalTime &t);
std::optional<LocalTime> parse_local_date(const std::string &text);

} // namespace sandbox
