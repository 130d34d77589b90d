// The session time zone from tz database zones, and where the host zone
// comes from.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "calendar/session_time_zone.hpp"
#include "test_support.hpp"

namespace {

using namespace qvamz;

constexpr std::int64_t kJanuary2024 = 1704888000; // 2024-01-10T12:00:00Z
constexpr std::int64_t kJuly2024 = 1720612800;    // 2024-07-10T12:00:00Z

// An unknown zone counts as UTC under its own name; Kiritimati's Windows
// name is whatever ICU's tables say.
TEST(SessionTimeZone, ZonesInWinterAndSummer)
{
    const struct {
        const char *zone;
        std::int64_t when;
        int bias, daylight_bias;
        bool daylight_now;
        const char *offset, *windows_name;
    } cases[] = {
        {"America/New_York", kJanuary2024, 300, -60, false, "-0500", "Eastern Standard Time"},
        {"America/New_York", kJuly2024, 300, -60, true, "-0400", "Eastern Standard Time"},
        {"Asia/Kolkata", kJuly2024, -330, 0, false, "+0530", "India Standard Time"},
        {"America/St_Johns", kJanuary2024, 210, -60, false, "-0330", "Newfoundland Standard Time"},
        {"Australia/Sydney", kJanuary2024, -600, -60, true, "+1100", "AUS Eastern Standard Time"},
        {"Etc/UTC", kJuly2024, 0, 0, false, "+0000", "UTC"},
        {"Pacific/Kiritimati", kJuly2024, -840, 0, false, "+1400", nullptr},
        {"Nowhere/Atlantis", kJuly2024, 0, 0, false, "+0000", "Nowhere/Atlantis"},
    };
    for (const auto &c : cases) {
        const SessionTimeZone tz = DescribeTimeZone(c.zone, c.when);
        EXPECT_EQ(std::tie(tz.bias, tz.daylight_bias, tz.daylight_now, tz.utc_offset_text),
                  std::tuple(c.bias, c.daylight_bias, c.daylight_now, std::string(c.offset)))
            << c.zone;
        EXPECT_EQ(tz.windows_name, c.windows_name ? c.windows_name : tz.windows_name) << c.zone;
    }
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
