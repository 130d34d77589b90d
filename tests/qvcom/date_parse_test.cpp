// Mail dates in every form real messages carry; daylight saving time and
// zone offsets.
#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>

#include "qv/qvcom.h"
#include "qv_test_support.hpp"

namespace {

// The expected instant, computed independently of the parser.
using qvtest::filetime_utc;

struct DateCase {
    const char *text;
    qv_filetime expected; // 0: no date
};

TEST(DateParse, ReadsRfc5322AndObsoleteForms)
{
    const DateCase cases[] = {
        {"Mon, 7 Dec 2026 09:14:30 +0100", filetime_utc(2026, 12, 7, 8, 14, 30)},
        {"Mon, 07 Dec 2026 09:14:30 +0100 (CET)", filetime_utc(2026, 12, 7, 8, 14, 30)},
        {"7 Dec 2026 09:14 -0530", filetime_utc(2026, 12, 7, 14, 44, 0)},
        {"Tue, 1 Jan 2019 00:30:00 -0000", filetime_utc(2019, 1, 1, 0, 30, 0)},
        {"  Fri, 29 Feb 2008 23:59:60 +0000 ", filetime_utc(2008, 2, 29, 23, 59, 59)},
        {"2 Jan 05 10:00 EST", filetime_utc(2005, 1, 2, 15, 0, 0)},
        {"2 Jan 99 10:00 GMT", filetime_utc(1999, 1, 2, 10, 0, 0)},
        {"2 Jan 105 10:00 UT", filetime_utc(2005, 1, 2, 10, 0, 0)},
        {"Sat, 4 Jul 2020 12:00:00 PDT", filetime_utc(2020, 7, 4, 19, 0, 0)},
        {"Sat, 4 Jul 2020 12:00:00 CEST", filetime_utc(2020, 7, 4, 10, 0, 0)},
        {"Sat, 4 Jul 2020 12:00:00 JST", filetime_utc(2020, 7, 4, 3, 0, 0)},
        {"Sat, 4 Jul 2020 12:00:00 Z", filetime_utc(2020, 7, 4, 12, 0, 0)},
        {"Sat, 4 Jul 2020 12:00:00 A", filetime_utc(2020, 7, 4, 12, 0, 0)}, // military: as -0000
        {"Sat, 4 Jul 2020 12:00:00", filetime_utc(2020, 7, 4, 12, 0, 0)},   // no zone: UTC
        {"Sat, 4 Jul 2020;12:00:00 +0200", filetime_utc(2020, 7, 4, 10, 0, 0)}, // folded with ";"
        {"Sun Dec  6 15:04:05 2026", filetime_utc(2026, 12, 6, 15, 4, 5)},   // asctime
        {"Thursday, December 3, 2026 4:05 PM", filetime_utc(2026, 12, 3, 16, 5, 0)},
        {"12/3/2026 12:15 AM", filetime_utc(2026, 12, 3, 0, 15, 0)},
        {"2026-12-03T10:20:30Z", filetime_utc(2026, 12, 3, 10, 20, 30)},
        {"2026-12-03T10:20:30.250+02:00", filetime_utc(2026, 12, 3, 8, 20, 30)},
        {"2026-12-03", filetime_utc(2026, 12, 3, 0, 0, 0)},
        {"15-Jan-2020 08:00:00 +0000", filetime_utc(2020, 1, 15, 8, 0, 0)},
        {"Thu, 1 Jan 1970 00:00:00 +0000", filetime_utc(1970, 1, 1, 0, 0, 0)},
        {"Mon, 1 Jan 1900 00:00:00 +0000", filetime_utc(1900, 1, 1, 0, 0, 0)},
        // Not dates.
        {"", 0},
        {"yesterday", 0},
        {"Mon, 30 Feb 2026 10:00:00 +0000", 0},
        {"Mon, 7 Foo 2026 10:00:00 +0000", 0},
        {"Mon, 7 Dec 2026 25:61:00 +0000", 0},
        {"Mon, 7 Dec 1500 10:00:00 +0000", 0},
    };
    auto msg = std::make_unique<qv_message>();
    for (const auto &c : cases) {
        msg->date = 12345;
        const int ok = com_Parse_Mime_Date(c.text, msg.get());
        EXPECT_EQ(msg->date, c.expected) << c.text;
        EXPECT_EQ(ok != 0, c.expected != 0) << c.text;
    }
    EXPECT_EQ(com_Parse_Mime_Date("Mon, 7 Dec 2026 09:14:30 +0100", nullptr), 0);
}

TEST(DateParse, HostileTextDoesNotHang)
{
    auto msg = std::make_unique<qv_message>();
    const std::string junk(100000, '(');
    EXPECT_EQ(com_Parse_Mime_Date(junk.c_str(), msg.get()), 0);
    const std::string digits(100000, '9');
    EXPECT_EQ(com_Parse_Mime_Date(digits.c_str(), msg.get()), 0);
}

// Daylight saving time and zone offsets from ICU's rules: the host's zone
// (TZ) and zones named by tz database or Windows id.
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
