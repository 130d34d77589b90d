// The session time zone from tz database zones, and where the host zone
// comes from.
#include <gtest/gtest.h>

#include <string>

#include "calendar/session_time_zone.hpp"
#include "test_support.hpp"

namespace {

using namespace qvamz;

constexpr std::int64_t kJanuary2024 = 1704888000; // 2024-01-10T12:00:00Z
constexpr std::int64_t kJuly2024 = 1720612800;    // 2024-07-10T12:00:00Z

TEST(SessionTimeZone, ZonesInWinterAndSummer)
{
    struct Case {
        const char *zone;
        std::int64_t when;
        int bias;
        int daylight_bias;
        bool daylight_now;
        const char *offset;
        const char *windows_name;
    };
    const Case cases[] = {
        {"America/New_York", kJanuary2024, 300, -60, false, "-0500", "Eastern Standard Time"},
        {"America/New_York", kJuly2024, 300, -60, true, "-0400", "Eastern Standard Time"},
        {"Asia/Kolkata", kJuly2024, -330, 0, false, "+0530", "India Standard Time"},
        {"America/St_Johns", kJanuary2024, 210, -60, false, "-0330", "Newfoundland Standard Time"},
        {"Australia/Sydney", kJanuary2024, -600, -60, true, "+1100", "AUS Eastern Standard Time"},
        {"Etc/UTC", kJuly2024, 0, 0, false, "+0000", "UTC"},
        {"Pacific/Kiritimati", kJuly2024, -840, 0, false, "+1400", nullptr},
    };
    for (const Case &c : cases) {
        const SessionTimeZone tz = DescribeTimeZone(c.zone, c.when);
        EXPECT_EQ(tz.bias, c.bias) << c.zone;
        EXPECT_EQ(tz.daylight_bias, c.daylight_bias) << c.zone;
        EXPECT_EQ(tz.daylight_now, c.daylight_now) << c.zone;
        EXPECT_EQ(tz.utc_offset_text, c.offset) << c.zone;
        if (c.windows_name) {
            EXPECT_EQ(tz.windows_name, c.windows_name) << c.zone;
        }
    }
}

TEST(SessionTimeZone, UnknownZoneCountsAsUtcUnderItsOwnName)
{
    const SessionTimeZone tz = DescribeTimeZone("Nowhere/Atlantis", kJuly2024);
    EXPECT_EQ(tz.bias, 0);
    EXPECT_EQ(tz.utc_offset_text, "+0000");
    EXPECT_EQ(tz.windows_name, "Nowhere/Atlantis");
}

TEST(HostZone, TzNamesTheHostZone)
{
    // The plain form: LogonTest.TimeZoneOfTheHostAndAGivenDaylightOffset.
    {
        conntest::ScopedEnv tz("TZ", ":Europe/Berlin");
        EXPECT_EQ(HostTimeZoneId(), "Europe/Berlin");
    }
    conntest::ScopedEnv tz("TZ", "not a zone at all");
    EXPECT_FALSE(HostTimeZoneId().empty());
}

} // namespace
