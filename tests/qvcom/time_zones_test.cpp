// Daylight saving time and zone offsets from ICU's rules: the host's zone
// (TZ) and zones named by tz database or Windows id.
#include <gtest/gtest.h>

#include <string>

#include "qv/qvcom.h"
#include "qv_test_support.hpp"

namespace {

using qvtest::filetime_utc;

TEST(TimeZones, HostDstFollowsTheHostZoneAroundItsChanges)
{
    {
        // New York went to daylight time at 2024-03-10 07:00Z and back at
        // 2024-11-03 06:00Z.
        qvtest::ScopedEnv tz("TZ", "America/New_York");
        EXPECT_EQ(com_DateIsDST(filetime_utc(2024, 3, 10, 6, 59), 0), 0);
        EXPECT_NE(com_DateIsDST(filetime_utc(2024, 3, 10, 7, 0), 0), 0);
        EXPECT_NE(com_DateIsDST(filetime_utc(2024, 11, 3, 5, 59), 0), 0);
        EXPECT_EQ(com_DateIsDST(filetime_utc(2024, 11, 3, 6, 0), 0), 0);
        char id[64];
        ASSERT_NE(com_HostTimeZoneId(id, sizeof id), 0);
        EXPECT_STREQ(id, "America/New_York");
    }
    qvtest::ScopedEnv tz("TZ", ":Australia/Sydney"); // southern summer
    EXPECT_NE(com_DateIsDST(filetime_utc(2024, 1, 10), 0), 0);
    EXPECT_EQ(com_DateIsDST(filetime_utc(2024, 7, 10), 0), 0);
}

TEST(TimeZones, OffsetsOfNamedZones)
{
    struct Case {
        const char *zone;
        int known, bias, daylight_bias, has_daylight;
    };
    const Case cases[] = {
        {"America/New_York", 1, 300, -60, 1},
        {"Eastern Standard Time", 1, 300, -60, 1}, // Windows id
        {"India Standard Time", 1, -330, 0, 0},
        {"Asia/Kathmandu", 1, -345, 0, 0},
        {"Nowhere/Atlantis", 0, 0, 0, 0},
        {"", 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        int32_t bias = 7, daylight_bias = 7, has_daylight = 7;
        EXPECT_EQ(com_GetTZInfo(c.zone, &bias, &daylight_bias, &has_daylight, 0), c.known) << c.zone;
        EXPECT_EQ(bias, c.bias) << c.zone;
        EXPECT_EQ(daylight_bias, c.daylight_bias) << c.zone;
        EXPECT_EQ(has_daylight, c.has_daylight) << c.zone;
    }
}

TEST(TimeZones, ZoneDstTakesTheZonesStandardTime)
{
    // 2024-03-10 02:00 EST (07:00Z) is the New York change: held as
    // standard local time, one minute before is winter, the change itself
    // summer, whatever zone the host is in.
    qvtest::ScopedEnv host("TZ", "Asia/Tokyo");
    int32_t state = 1;
    EXPECT_EQ(com_TZDateIsDST(filetime_utc(2024, 3, 10, 1, 59), "America/New_York", -60, &state), 0);
    EXPECT_EQ(state, 1);
    EXPECT_NE(com_TZDateIsDST(filetime_utc(2024, 3, 10, 2, 0), "Eastern Standard Time", -60, &state), 0);
    EXPECT_NE(com_TZDateIsDST(filetime_utc(2024, 7, 1), "Europe/Berlin", -60, &state), 0);
    EXPECT_EQ(com_TZDateIsDST(filetime_utc(2024, 7, 1), "Nowhere/Atlantis", -60, &state), 0);
    EXPECT_EQ(state, 0);
}

} // namespace
