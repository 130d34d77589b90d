// Recurring series: expansion in the item's zone (daylight saving
// changes, days some months lack, relative patterns, ranges), the places
// of deleted occurrences, the zone rules shown to version 14 clients and
// the global object id.
#include <gtest/gtest.h>

#include "calendar_recur.hpp"
#include "calendar_render.hpp"
#include "calendar_zone.hpp"

using namespace sandbox;

namespace {

UnixTime at(const char *text) { return *parse_ews_time(text); }

CalendarData series(const char *zone, const char *first_start, RecurrenceRule rule) {
    CalendarData d;
    d.zone_id = zone;
    d.start = at(first_start);
    d.end = d.start + 3600;
    d.recurrence = std::move(rule);
    return d;
}

RecurrenceRule rule(const char *pattern, const char *start_date, int count) {
    RecurrenceRule r;
    r.pattern = pattern;
    r.range = "Numbered";
    r.start_date = start_date;
    r.count = count;
    return r;
}

std::vector<std::string> starts(const CalendarData &d, std::size_t limit = 100) {
    std::vector<std::string> out;
    for (const auto &p : expand_series(d, INT64_MAX, limit)) out.push_back(format_ews_time(p.start));
    return out;
}

} // namespace

TEST(CalendarSeries, WeeklySeriesKeepsItsLocalTimeAcrossDaylightSavingChanges) {
    RecurrenceRule weekly = rule("Weekly", "2026-02-23", 4);
    weekly.days_of_week = "Monday";
    // New York's change on 8 March is checked through the operations (CalendarOps,
    // CalendarIcal); its return to standard time on 1 November here.
    weekly.start_date = "2026-10-26";
    EXPECT_EQ(starts(series("Eastern Standard Time", "2026-10-26T13:00:00Z", weekly))[2],
              "2026-11-09T14:00:00Z");
    // Berlin changes on the last Sunday of March.
    weekly.start_date = "2026-03-23";
    EXPECT_EQ(starts(series("W. Europe Standard Time", "2026-03-23T08:00:00Z", weekly)),
              (std::vector<std::string>{"2026-03-23T08:00:00Z", "2026-03-30T07:00:00Z",
                                        "2026-04-06T07:00:00Z", "2026-04-13T07:00:00Z"}));
    // A zone without daylight saving time stays put.
    weekly.start_date = "2026-03-02";
    EXPECT_EQ(starts(series("Tokyo Standard Time", "2026-03-02T00:00:00Z", weekly))[3], "2026-03-23T00:00:00Z");
}

TEST(CalendarSeries, DaysSomeMonthsLackFallOnTheirLastDay) {
    RecurrenceRule monthly = rule("AbsoluteMonthly", "2026-01-01", 5);
    monthly.day_of_month = 31;
    EXPECT_EQ(starts(series("", "2026-01-31T09:00:00Z", monthly)),
              (std::vector<std::string>{"2026-01-31T09:00:00Z", "2026-02-28T09:00:00Z",
                                        "2026-03-31T09:00:00Z", "2026-04-30T09:00:00Z",
                                        "2026-05-31T09:00:00Z"}));
    monthly.day_of_month = 30;
    EXPECT_EQ(starts(series("", "2026-01-30T09:00:00Z", monthly))[1], "2026-02-28T09:00:00Z");
    monthly.day_of_month = 15;
    monthly.interval = 2;
    EXPECT_EQ(starts(series("", "2026-01-15T09:00:00Z", monthly))[2], "2026-05-15T09:00:00Z");
    RecurrenceRule leap = rule("AbsoluteYearly", "2024-01-01", 3);
    leap.day_of_month = 29;
    leap.month = "February";
    EXPECT_EQ(starts(series("", "2024-02-29T00:00:00Z", leap)),
              (std::vector<std::string>{"2024-02-29T00:00:00Z", "2025-02-28T00:00:00Z",
                                        "2026-02-28T00:00:00Z"}));
}

TEST(CalendarSeries, RelativePatternsFindTheirWeekday) {
    RecurrenceRule first_monday = rule("RelativeMonthly", "2026-01-01", 3);
    first_monday.days_of_week = "Monday";
    first_monday.day_of_week_index = "First";
    EXPECT_EQ(starts(series("", "2026-01-05T10:00:00Z", first_monday)),
              (std::vector<std::string>{"2026-01-05T10:00:00Z", "2026-02-02T10:00:00Z",
                                        "2026-03-02T10:00:00Z"}));
    RecurrenceRule last_friday = first_monday;
    last_friday.days_of_week = "Friday";
    last_friday.day_of_week_index = "Last";
    EXPECT_EQ(starts(series("", "2026-01-30T10:00:00Z", last_friday))[1], "2026-02-27T10:00:00Z");
    RecurrenceRule last_weekday = first_monday;
    last_weekday.days_of_week = "Weekday";
    last_weekday.day_of_week_index = "Last";
    // 31 January 2026 is a Saturday, 28 February too.
    EXPECT_EQ(starts(series("", "2026-01-30T10:00:00Z", last_weekday)),
              (std::vector<std::string>{"2026-01-30T10:00:00Z", "2026-02-27T10:00:00Z",
                                        "2026-03-31T10:00:00Z"}));
    RecurrenceRule thanksgiving = rule("RelativeYearly", "2025-01-01", 2);
    thanksgiving.days_of_week = "Thursday";
    thanksgiving.day_of_week_index = "Fourth";
    thanksgiving.month = "November";
    EXPECT_EQ(starts(series("Eastern Standard Time", "2025-11-27T17:00:00Z", thanksgiving)),
              (std::vector<std::string>{"2025-11-27T17:00:00Z", "2026-11-26T17:00:00Z"}));
}

TEST(CalendarSeries, RangesCountEveryPlaceAndDeletedOccurrencesKeepTheirIndex) {
    RecurrenceRule daily = rule("Daily", "2026-04-01", 5);
    daily.interval = 3;
    CalendarData d = series("", "2026-04-01T08:00:00Z", daily);
    EXPECT_EQ(starts(d).back(), "2026-04-13T08:00:00Z");
    d.deleted.push_back(at("2026-04-04T08:00:00Z"));
    auto places = expand_series(d, INT64_MAX, 100);
    ASSERT_EQ(places.size(), 5u);
    EXPECT_EQ(places[4].index, 5);
    EwsError error; // the error codes of deleted and later indices: CalendarOps
    EXPECT_FALSE(occurrence_at(d, 0, error));
    auto third = occurrence_at(d, 3, error);
    ASSERT_TRUE(third);
    EXPECT_EQ(format_ews_time(third->place.start), "2026-04-07T08:00:00Z");

    RecurrenceRule weekly;
    weekly.pattern = "Weekly";
    weekly.interval = 2;
    weekly.days_of_week = "Tuesday Thursday";
    weekly.range = "EndDate";
    weekly.start_date = "2026-06-01";
    weekly.end_date = "2026-06-16"; // the end day itself counts
    EXPECT_EQ(starts(series("", "2026-06-02T12:00:00Z", weekly)),
              (std::vector<std::string>{"2026-06-02T12:00:00Z", "2026-06-04T12:00:00Z",
                                        "2026-06-16T12:00:00Z"}));
    weekly.range = "NoEnd";
    EXPECT_EQ(starts(series("", "2026-06-02T12:00:00Z", weekly), 50).size(), 50u);
    // Expansion stops at the bound it is given.
    EXPECT_EQ(expand_series(series("", "2026-06-02T12:00:00Z", weekly), at("2026-06-05T00:00:00Z"), 50).size(), 2u);
}

TEST(CalendarSeries, ZoneElementsStateTheZonesRules) {
    auto rules = [](const char *zone) {
        XmlOut out;
        write_meeting_time_zone(out, zone, at("2026-06-01T00:00:00Z"));
        return out.finish();
    };
    std::string berlin = rules("W. Europe Standard Time");
    EXPECT_NE(berlin.find("<t:BaseOffset>-PT1H</t:BaseOffset><t:Standard><t:Offset>PT0M</t:Offset>"
                          "<t:RelativeYearlyRecurrence><t:DaysOfWeek>Sunday</t:DaysOfWeek>"
                          "<t:DayOfWeekIndex>Last</t:DayOfWeekIndex><t:Month>October</t:Month>"
                          "</t:RelativeYearlyRecurrence><t:Time>03:00:00</t:Time>"),
              std::string::npos)
        << berlin;
    EXPECT_NE(berlin.find("<t:Daylight><t:Offset>-PT1H</t:Offset>"), std::string::npos) << berlin;
    EXPECT_NE(berlin.find("<t:Month>March</t:Month></t:RelativeYearlyRecurrence><t:Time>02:00:00"),
              std::string::npos)
        << berlin;
    std::string india = rules("India Standard Time");
    EXPECT_NE(india.find("<t:BaseOffset>-PT5H30M</t:BaseOffset></t:MeetingTimeZone>"), std::string::npos) << india;
    // Version 15's definition states the same changes as transitions.
    XmlOut definition;
    write_zone_definition(definition, "t:StartTimeZone", "Eastern Standard Time", at("2026-06-01T00:00:00Z"));
    std::string eastern = definition.finish();
    for (const char *part : {"<t:Period Bias=\"PT5H\" Name=\"Standard\" Id=\"Std\"/>",
                             "<t:Period Bias=\"PT4H\" Name=\"Daylight\" Id=\"Dlt\"/>",
                             "<t:To Kind=\"Period\">Dlt</t:To><t:TimeOffset>PT2H</t:TimeOffset><t:Month>3</t:Month>"
                             "<t:DayOfWeek>Sunday</t:DayOfWeek><t:Occurrence>2</t:Occurrence>",
                             "<t:Month>11</t:Month><t:DayOfWeek>Sunday</t:DayOfWeek><t:Occurrence>1</t:Occurrence>"})
        EXPECT_NE(eastern.find(part), std::string::npos) << part << "\n" << eastern;
    EXPECT_FALSE(known_windows_zone("Atlantis Standard Time"));
    EXPECT_EQ(windows_zone_for("America/New_York"), "Eastern Standard Time");
}

TEST(CalendarSeries, GlobalObjectIdCarriesTheUid) {
    std::string id = global_object_id("abc@example.com");
    EXPECT_EQ(id.substr(0, 4), std::string("\x04\x00\x00\x00", 4));
    EXPECT_NE(id.find(std::string("vCal-Uid\x01\0\0\0abc@example.com", 27)), std::string::npos);
    // A UID that is the hex form of a global object id is that id.
    std::string hex = generated_uid("seed");
    EXPECT_EQ(hex.size(), 2 * (16 + 20 + 4 + 16u));
    std::string bytes = global_object_id(hex);
    EXPECT_EQ(bytes.size(), hex.size() / 2);
    EXPECT_EQ(generated_uid("seed"), hex);
    EXPECT_NE(generated_uid("other"), hex);
}
