// A calendar record's recurrence and zone as iCalendar: RRULE values
// expanded back with libical's iterator, the end of an end-dated series,
// occurrence counts as the server makes them, and VTIMEZONE components
// read back with libical.
#include <gtest/gtest.h>
#include <libical/ical.h>

#include <string>
#include <vector>

#include "qv/qvcom.h"
#include "qv_test_support.hpp"

namespace {

using qvtest::filetime_utc;

struct Series {
    std::int16_t type;
    int interval = 1, days = 0, week_index = 0, month = 0, day_of_month = 0;
};

// A series starting at `start` (UTC) in New York, numbered, `count` long.
qvtest::Record SeriesRecord(const Series &s, qv_filetime start, int count)
{
    qvtest::Record r = qvtest::new_record(1);
    r->item_type = QV_ITEM_CALENDAR;
    r->start_time = start;
    r->end_time = start + 3600 * qvtest::kFiletimeSecond;
    qvtest::set_text(r->time_zone, "Eastern Standard Time");
    r->recur_type = s.type;
    r->recur_interval = s.interval;
    r->recur_days = s.days;
    r->recur_week_index = s.week_index;
    r->recur_month = s.month;
    r->recur_day_of_month = s.day_of_month;
    r->recur_range = 0;
    r->recur_count = count;
    return r;
}

std::string Rrule(const qv_message &msg)
{
    char rrule[512] = "x";
    com_Genrrule(&msg, rrule, sizeof rrule);
    return rrule;
}

// Dates ("YYYYMMDD") of the occurrences of `rrule` from a floating start.
std::vector<std::string> Expand(const std::string &rrule, int y, int m, int d)
{
    icalrecurrencetype rule = icalrecurrencetype_from_string(rrule.c_str());
    icaltimetype start = icaltime_null_time();
    start.year = y, start.month = m, start.day = d, start.hour = 9;
    icalrecur_iterator *it = icalrecur_iterator_new(rule, start);
    std::vector<std::string> out;
    for (icaltimetype t = icalrecur_iterator_next(it); !icaltime_is_null_time(t) && out.size() < 50;
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
        Series series;
        int y, m, d;
        std::vector<std::string> dates;
    };
    const Case cases[] = {
        {"absolute yearly, 14 February", {1, 0, 0, 0, 2, 14}, 2024, 2, 14,
         {"20240214", "20250214", "20260214"}},
        {"relative yearly, fourth Thursday of November", {2, 0, 16, 4, 11, 0}, 2024, 11, 28,
         {"20241128", "20251127", "20261126"}},
        {"absolute monthly, every second month on the 15th", {3, 2, 0, 0, 0, 15}, 2024, 1, 15,
         {"20240115", "20240315", "20240515"}},
        {"relative monthly, last Friday", {4, 1, 32, 5, 0, 0}, 2024, 1, 26,
         {"20240126", "20240223", "20240329"}},
        {"relative monthly, first weekday", {4, 1, 62, 1, 0, 0}, 2024, 6, 3,
         {"20240603", "20240701", "20240801"}},
        {"weekly, every second Monday and Wednesday", {5, 2, 10, 0, 0, 0}, 2024, 1, 1,
         {"20240101", "20240103", "20240115", "20240117"}},
        {"daily, every third day", {6, 3, 0, 0, 0, 0}, 2024, 2, 27,
         {"20240227", "20240301", "20240304"}},
        {"every weekday", {7, 0, 0, 0, 0, 0}, 2024, 3, 1,
         {"20240301", "20240304", "20240305"}},
    };
    for (const Case &c : cases) {
        const qvtest::Record r = SeriesRecord(c.series, filetime_utc(c.y, c.m, c.d, 14), 0);
        const std::string rrule = Rrule(*r);
        ASSERT_FALSE(rrule.empty()) << c.what;
        std::vector<std::string> got = Expand(rrule, c.y, c.m, c.d);
        got.resize(std::min(got.size(), c.dates.size()));
        EXPECT_EQ(got, c.dates) << c.what << ": " << rrule;
    }
    const qvtest::Record none = SeriesRecord({0}, filetime_utc(2024, 1, 1), 3);
    EXPECT_EQ(com_Genrrule(none.get(), nullptr, 0), 0);
    EXPECT_EQ(Rrule(*none), "");
}

TEST(CalendarRules, RangesEndWhereTheSeriesEnds)
{
    // Tuesdays 09:00 New York from 2024-02-27, across the March change.
    qvtest::Record r = SeriesRecord({5, 1, 4}, filetime_utc(2024, 2, 27, 14), 6);
    EXPECT_EQ(Expand(Rrule(*r), 2024, 2, 27).size(), 6u) << Rrule(*r);
    int32_t count = -1;
    EXPECT_EQ(com_ExpandRecur(r.get(), 0, 0, &count, 3, ""), 1);
    EXPECT_EQ(count, 6);

    // End date 2 April as the reader stores "2024-04-02-04:00": the start
    // of that day.  The 09:00 occurrence that day still belongs.
    r->recur_range = 1;
    r->recur_count = 0;
    r->recur_end = filetime_utc(2024, 4, 2, 4);
    const icalrecurrencetype rule = icalrecurrencetype_from_string(Rrule(*r).c_str());
    EXPECT_EQ(rule.count, 0);
    EXPECT_EQ(icaltime_as_timet(rule.until), 1712116799) << Rrule(*r); // 2024-04-03T03:59:59Z
    EXPECT_NE(Rrule(*r).find("Z"), std::string::npos) << "UNTIL in UTC";
    EXPECT_EQ(com_ExpandRecur(r.get(), 0, 0, &count, 3, ""), 1);
    EXPECT_EQ(count, 6);
    // The same day stored as 00:00 UTC (an end date given in UTC).
    r->recur_end = filetime_utc(2024, 4, 2);
    EXPECT_EQ(com_ExpandRecur(r.get(), 0, 0, &count, 3, ""), 1);
    EXPECT_EQ(count, 6);

    // A dated (all-day) series ends on a date.
    r->all_day = 1;
    const std::string dated = Rrule(*r);
    EXPECT_NE(dated.find("UNTIL=20240402"), std::string::npos) << dated;
    EXPECT_EQ(dated.find("UNTIL=20240402T"), std::string::npos) << dated;

    r->recur_range = 2;
    EXPECT_EQ(Rrule(*r).find("UNTIL"), std::string::npos);
    EXPECT_EQ(Rrule(*r).find("COUNT"), std::string::npos);
    EXPECT_EQ(com_ExpandRecur(r.get(), 0, 0, &count, 3, ""), 0) << "no end, no count";
    EXPECT_EQ(count, 0);
}

TEST(CalendarRules, MonthDaysPastAShortMonthCountAsTheServerPlacesThem)
{
    // Day 31 monthly from 31 January to 30 April: the server makes 31 Jan,
    // 29 Feb, 31 Mar and 30 Apr.
    qvtest::Record r = SeriesRecord({3, 1, 0, 0, 0, 31}, filetime_utc(2024, 1, 31, 14), 0);
    r->recur_range = 1;
    r->recur_end = filetime_utc(2024, 4, 30);
    int32_t count = 0;
    EXPECT_EQ(com_ExpandRecur(r.get(), 0, 0, &count, 3, ""), 1);
    EXPECT_EQ(count, 4);
}

// The UTC offset in seconds that `vtimezone` gives at a local time.
int OffsetAt(icaltimezone *zone, int y, int m, int d)
{
    icaltimetype t = icaltime_null_time();
    t.year = y, t.month = m, t.day = d, t.hour = 12;
    int is_daylight = 0;
    return icaltimezone_get_utc_offset(zone, &t, &is_daylight);
}

TEST(CalendarRules, VTimeZoneCarriesTheZonesRulesFromTheGivenDate)
{
    char text[4096], tzid[64];
    // 2006: New York still changed in April.
    ASSERT_EQ(com_GetVTimeZone("Eastern Standard Time", filetime_utc(2006, 1, 10), text,
                               sizeof text, tzid, sizeof tzid), 1);
    EXPECT_STREQ(tzid, "America/New_York");
    icalcomponent *component = icalcomponent_new_from_string(text);
    ASSERT_NE(component, nullptr) << text;
    icaltimezone *zone = icaltimezone_new();
    ASSERT_TRUE(icaltimezone_set_component(zone, component));
    EXPECT_STREQ(icaltimezone_get_tzid(zone), "America/New_York");
    EXPECT_EQ(OffsetAt(zone, 2006, 1, 15), -5 * 3600);
    EXPECT_EQ(OffsetAt(zone, 2006, 3, 20), -5 * 3600) << "old rules: April change";
    EXPECT_EQ(OffsetAt(zone, 2024, 3, 20), -4 * 3600) << "new rules: March change";
    EXPECT_EQ(OffsetAt(zone, 2024, 11, 20), -5 * 3600);
    icaltimezone_free(zone, 1);

    // Too small for any form, or a zone ICU does not know: nothing.
    char small[64] = "x";
    EXPECT_EQ(com_GetVTimeZone("Europe/Berlin", 0, small, sizeof small, tzid, sizeof tzid), 0);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(com_GetVTimeZone("Nowhere/Atlantis", 0, text, sizeof text, tzid, sizeof tzid), 0);
    EXPECT_STREQ(tzid, "");
}

} // namespace
