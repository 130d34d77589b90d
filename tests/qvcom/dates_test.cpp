// Mail dates in every form real messages carry; daylight saving time and
// zone offsets; recurrences and zones as iCalendar, read back with libical.
#include <gtest/gtest.h>
#include <libical/ical.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

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

// A calendar record's recurrence and zone as iCalendar: RRULE values
// expanded back with libical's iterator, the end of an end-dated series,
// occurrence counts as the server makes them, VTIMEZONE read back.
// A numbered series in New York; fields as in the record.
qvtest::Record Series(std::int16_t type, int interval, int days, int week, int month, int day,
                      qv_filetime start, int count = 0)
{
    qvtest::Record r = qvtest::new_record(1);
    r->start_time = start;
    qvtest::set_text(r->time_zone, "Eastern Standard Time");
    r->recur_type = type, r->recur_interval = interval, r->recur_days = days;
    r->recur_week_index = week, r->recur_month = month, r->recur_day_of_month = day;
    r->recur_range = 0, r->recur_count = count;
    return r;
}

std::string Rrule(const qv_message &msg)
{
    char rrule[512] = "x";
    com_Genrrule(&msg, rrule, sizeof rrule);
    return rrule;
}

// The first `n` dates ("YYYYMMDD") of `rrule` from a floating start.
std::vector<std::string> Expand(const std::string &rrule, int y, int m, int d, std::size_t n)
{
    icaltimetype start = icaltime_null_time();
    start.year = y, start.month = m, start.day = d, start.hour = 9;
    icalrecur_iterator *it = icalrecur_iterator_new(icalrecurrencetype_from_string(rrule.c_str()), start);
    std::vector<std::string> out;
    for (icaltimetype t = icalrecur_iterator_next(it); !icaltime_is_null_time(t) && out.size() < n;
         t = icalrecur_iterator_next(it)) {
        char text[16];
        std::snprintf(text, sizeof text, "%04d%02d%02d", t.year, t.month, t.day);
        out.push_back(text);
    }
    icalrecur_iterator_free(it);
    return out;
}

TEST(CalendarRules, EveryPatternExpandsToTheDaysTheRecordMeans)
{
    struct Case {
        const char *what;
        std::int16_t type;
        int interval, days, week, month, day, y, m, d;
        std::vector<std::string> dates;
    };
    const Case cases[] = {
        {"absolute yearly", 1, 0, 0, 0, 2, 14, 2024, 2, 14, {"20240214", "20250214", "20260214"}},
        {"fourth Thursday of November", 2, 0, 16, 4, 11, 0, 2024, 11, 28, {"20241128", "20251127", "20261126"}},
        {"every second month on the 15th", 3, 2, 0, 0, 0, 15, 2024, 1, 15, {"20240115", "20240315", "20240515"}},
        {"last Friday", 4, 1, 32, 5, 0, 0, 2024, 1, 26, {"20240126", "20240223", "20240329"}},
        {"first weekday", 4, 1, 62, 1, 0, 0, 2024, 6, 3, {"20240603", "20240701", "20240801"}},
        {"every second Monday and Wednesday", 5, 2, 10, 0, 0, 0, 2024, 1, 1, {"20240101", "20240103", "20240115", "20240117"}},
        {"every third day", 6, 3, 0, 0, 0, 0, 2024, 2, 27, {"20240227", "20240301", "20240304"}},
        {"every weekday", 7, 0, 0, 0, 0, 0, 2024, 3, 1, {"20240301", "20240304", "20240305"}},
    };
    for (const Case &c : cases) {
        const qvtest::Record r = Series(c.type, c.interval, c.days, c.week, c.month, c.day,
                                        filetime_utc(c.y, c.m, c.d, 14));
        EXPECT_EQ(Expand(Rrule(*r), c.y, c.m, c.d, c.dates.size()), c.dates) << c.what << ": " << Rrule(*r);
    }
    const qvtest::Record none = Series(0, 1, 0, 0, 0, 0, filetime_utc(2024, 1, 1), 3);
    EXPECT_EQ(Rrule(*none), "");
}

TEST(CalendarRules, RangesEndWhereTheSeriesEnds)
{
    // Tuesdays 09:00 New York from 27 February, across the March change.
    qvtest::Record r = Series(5, 1, 4, 0, 0, 0, filetime_utc(2024, 2, 27, 14), 6);
    EXPECT_EQ(Expand(Rrule(*r), 2024, 2, 27, 99).size(), 6u) << Rrule(*r);
    int32_t count = -1;
    EXPECT_EQ(com_ExpandRecur(r.get(), 0, 0, &count, 3, ""), 1);
    EXPECT_EQ(count, 6);

    // Ends 2 April, stored as the reader stores "2024-04-02-04:00" (the
    // start of that day) or "2024-04-02Z": the 09:00 occurrence that day
    // belongs, so UNTIL is the end of the day in New York, in UTC.
    r->recur_range = 1, r->recur_count = 0;
    for (qv_filetime end : {filetime_utc(2024, 4, 2, 4), filetime_utc(2024, 4, 2)}) {
        r->recur_end = end;
        const icalrecurrencetype rule = icalrecurrencetype_from_string(Rrule(*r).c_str());
        EXPECT_EQ(icaltime_as_timet(rule.until), 1712116799) << Rrule(*r); // 2024-04-03T03:59:59Z
        EXPECT_TRUE(icaltime_is_utc(rule.until));
        EXPECT_EQ(com_ExpandRecur(r.get(), 0, 0, &count, 3, ""), 1);
        EXPECT_EQ(count, 6);
    }
    r->all_day = 1; // a dated series ends on a date
    EXPECT_NE(Rrule(*r).find("UNTIL=20240402;"), std::string::npos) << Rrule(*r);

    r->recur_range = 2;
    EXPECT_EQ(Rrule(*r).find("UNTIL"), std::string::npos);
    EXPECT_EQ(com_ExpandRecur(r.get(), 0, 0, &count, 3, ""), 0) << "no end, nothing to count";

    // Day 31 monthly to 30 April: the server makes 31 Jan, 29 Feb, 31 Mar, 30 Apr.
    r = Series(3, 1, 0, 0, 0, 31, filetime_utc(2024, 1, 31, 14));
    r->recur_range = 1, r->recur_end = filetime_utc(2024, 4, 30);
    EXPECT_EQ(com_ExpandRecur(r.get(), 0, 0, &count, 3, ""), 1);
    EXPECT_EQ(count, 4);
}

int OffsetAt(icaltimezone *zone, int y, int m, int d)
{
    icaltimetype t = icaltime_null_time();
    t.year = y, t.month = m, t.day = d, t.hour = 12;
    return icaltimezone_get_utc_offset(zone, &t, nullptr);
}

TEST(CalendarRules, VTimeZoneCarriesTheZonesRulesFromTheGivenDate)
{
    char text[4096], tzid[64];
    // From 2006, when New York still changed in April.
    ASSERT_EQ(com_GetVTimeZone("Eastern Standard Time", filetime_utc(2006, 1, 10), text,
                               sizeof text, tzid, sizeof tzid), 1);
    EXPECT_STREQ(tzid, "America/New_York");
    icaltimezone *zone = icaltimezone_new();
    ASSERT_TRUE(icaltimezone_set_component(zone, icalcomponent_new_from_string(text))) << text;
    EXPECT_STREQ(icaltimezone_get_tzid(zone), "America/New_York");
    EXPECT_EQ(OffsetAt(zone, 2006, 1, 15), -5 * 3600);
    EXPECT_EQ(OffsetAt(zone, 2006, 3, 20), -5 * 3600) << "old rules: April change";
    EXPECT_EQ(OffsetAt(zone, 2024, 3, 20), -4 * 3600) << "new rules: March change";
    icaltimezone_free(zone, 1);

    char small[64] = "x";
    EXPECT_EQ(com_GetVTimeZone("Europe/Berlin", 0, small, sizeof small, tzid, sizeof tzid), 0);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(com_GetVTimeZone("Nowhere/Atlantis", 0, text, sizeof text, tzid, sizeof tzid), 0);
}

} // namespace
