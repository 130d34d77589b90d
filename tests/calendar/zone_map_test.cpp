// Zone names to Windows ids, the zone elements of a recurring item and
// the start of the host's local day.
#include <gtest/gtest.h>

#include <string>

#include "calendar/time_zone_map.hpp"
#include "calendar/zone_elements.hpp"
#include "qv/qvcom.h"
#include "qv_test_support.hpp"

namespace {

using namespace qvamz::calendar;
using qvtest::filetime_utc;

TEST(MapTimeZoneId, DisplayTableThenAliasRulesThenRegions)
{
    EXPECT_EQ(ZoneDisplayTable().size(), 105u);
    const struct {
        const char *name, *id;
    } cases[] = {
        {"(UTC-05:00) Eastern Time (US & Canada)", "Eastern Standard Time"},
        {"(UTC-04:00) Caracas", "SA Western Standard Time"}, // three rows: the first answers
        {"(UTC+05:00) Islamabad, Karachi", "West Asia Standard Time"},
        {"(UTC+02:00) Istanbul", "GTB Standard Time"},
        {"(UTC+03:00) Istanbul", "Turkey Standard Time"},
        {"(UTC-05:00) Somewhere not listed", "Eastern Standard Time"},
        {"(UTC+03:00) Somewhere not listed", "(UTC+03:00) Somewhere not listed"},
        {"GMT -0500 (New York)", "Eastern Standard Time"},
        {"GMT-5 and more", "Eastern Standard Time"},
        {"us pacific standard time", "Pacific Standard Time"},
        {"Antarctica (Casey)", "W. Australia Standard Time"}, // overrides the Antarctica rule
        {"Antarctica/Troll", "GMT Standard Time"},
        {"Chihuahua, La Paz, Mazatlan", "Mountain Standard Time"},
        {"america/new_york", "Eastern Standard Time"},
        {"America/Anchorage", "Pacific Standard Time"}, // unlisted: the region's default
        {"Europe/Paris", "W. Europe Standard Time"},
        {"Europe/London", "GMT Standard Time"},
        {"Europe/Athens", "GTB Standard Time"},
        {"Asia/Kolkata", "China Standard Time"},
        {"Asia/Tokyo", "Tokyo Standard Time"},
        {"Atlantic/Azores", "W. Europe Standard Time"},
        {"Australia/Perth", "W. Australia Standard Time"},
        {"Australia/Brisbane", "Australia/Brisbane"}, // no default for this region
        {"US/Arizona", "US Mountain Standard Time"},
        {"US/Hawaii", "US/Hawaii"},
        {"India/Anything", "India Standard Time"},
        {"Canada/Pacific", "Pacific Standard Time"},
        {"canada/pacific", "canada/pacific"}, // only that spelling
        {"Est", "Eastern Standard Time"},
        {"Eastern Standard Time", "Eastern Standard Time"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(MapTimeZoneId(c.name), c.id) << c.name;
}

TEST(ZoneElements, ByServerVersionAndPatternWithTheZoneEscaped)
{
    qvtest::Record record = qvtest::new_record(1);
    record->recur_type = 5;
    EXPECT_EQ(ZoneElements(*record, "W. Europe Standard Time", 14),
              "<t:MeetingTimeZone TimeZoneName=\"W. Europe Standard Time\"/>\n");
    qvtest::set_text(record->time_zone, "America/New_York"); // the record's zone wins
    EXPECT_EQ(ZoneElements(*record, "W. Europe Standard Time", 15),
              "<t:StartTimeZone Id=\"Eastern Standard Time\"></t:StartTimeZone>\n"
              "<t:EndTimeZone Id=\"Eastern Standard Time\"></t:EndTimeZone>\n");
    record->recur_type = 6; // daily: no MeetingTimeZone before version 15
    EXPECT_EQ(ZoneElements(*record, "", 14), "");
    EXPECT_NE(ZoneElements(*record, "", 15), "");

    record->recur_type = 5;
    qvtest::set_text(record->time_zone, "Zone \"A\" & <B>");
    EXPECT_EQ(ZoneElements(*record, "", 14),
              "<t:MeetingTimeZone TimeZoneName=\"Zone &quot;A&quot; &amp; &lt;B&gt;\"/>\n");
}

bool AlwaysDst(qv_filetime) { return true; }
bool NeverDst(qv_filetime) { return false; }
// New York's rules of 2024.
bool NewYorkDst(qv_filetime utc)
{
    return utc >= filetime_utc(2024, 3, 10, 7) && utc < filetime_utc(2024, 11, 3, 6);
}

TEST(LocalDayStart, FindsTheLocalMidnightOnBothSidesOfTheChange)
{
    // Bias 300 without daylight time: 03:00Z on 10 January is still 9 January.
    EXPECT_EQ(LocalDayStart(filetime_utc(2024, 1, 10, 3), 300, -60, NeverDst),
              filetime_utc(2024, 1, 9, 5));
    EXPECT_EQ(LocalDayStart(filetime_utc(2024, 1, 10, 3), 300, -60, AlwaysDst),
              filetime_utc(2024, 1, 9, 4));
    // A summer day begins at 04:00Z, a winter day at 05:00Z.
    EXPECT_EQ(LocalDayStart(filetime_utc(2024, 7, 10, 4), 300, -60, NewYorkDst),
              filetime_utc(2024, 7, 10, 4));
    EXPECT_EQ(LocalDayStart(filetime_utc(2024, 7, 11, 3, 59), 300, -60, NewYorkDst),
              filetime_utc(2024, 7, 10, 4));
    // The day of the change: midnight was still standard time.
    EXPECT_EQ(LocalDayStart(filetime_utc(2024, 3, 10, 12), 300, -60, NewYorkDst),
              filetime_utc(2024, 3, 10, 5));
    EXPECT_EQ(LocalDayStart(filetime_utc(2024, 3, 11, 12), 300, -60, NewYorkDst),
              filetime_utc(2024, 3, 11, 4));
    // East of UTC: Kolkata's day begins at 18:30Z the day before.
    EXPECT_EQ(LocalDayStart(filetime_utc(2024, 1, 10, 20), -330, 0, NeverDst),
              filetime_utc(2024, 1, 10, 18, 30));
    EXPECT_EQ(LocalDayStart(0, 300, -60, NeverDst), 0u);
}

} // namespace
