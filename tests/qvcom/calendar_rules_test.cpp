// A calendar record's recurrence and zone as iCalendar: RRULE values
// expanded back with libical's iterator, the end of an end-dated series,
// occurrence counts as the server makes them, VTIMEZONE read back.
#include <gtest/gtest.h>
#include <libical/ical.h>

#include <string>
#include <vector>

#include "qv/qvcom.h"
#include "qv_test_support.hpp"

namespace {

using qvtest::filetime_utc;

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
