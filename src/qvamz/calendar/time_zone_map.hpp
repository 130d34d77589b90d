// Zone names to the Windows zone ids the EWS server wants.  Calendar
// records carry the zone the source system gave: a Windows display name
// ("(UTC-05:00) Eastern Time (US & Canada)"), a bare offset ("GMT -0500"),
// a colloquial name ("US Eastern", "Est") or a tz database id
// ("America/New_York").  MapTimeZoneId turns each into an id such as
// "Eastern Standard Time"; a name it does not know passes unchanged.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace qvamz::calendar {

// One row of the display-name table.
struct ZoneDisplayRow {
    std::string_view zone_id;
    std::string_view display_name;
};

// The display-name table in lookup order.  Display names repeat; the first
// row with a name answers, so later rows with the same name never do.
std::span<const ZoneDisplayRow> ZoneDisplayTable();

// The Windows zone id for `name`: a whole, case-sensitive match in the
// display-name table first, then the alias rules (prefixes, colloquial and
// tz database names).  Never fails: an unknown name comes back as it is.
std::string MapTimeZoneId(std::string_view name);

} // namespace qvamz::calendar
