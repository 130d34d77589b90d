// Recurrence patterns and ranges into the record, and the day, month and
// week name tables.  (The exception lists of a whole item: calendar_item_test.)
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "calendar/recurrence.hpp"
#include "calendar_answers.hpp"
#include "qv/qvcom.h"

namespace {

using namespace qvamz::calendar;
using qvtest::filetime_utc;

struct PatternCase {
    const char *what;
    std::string recurrence; // inside of <t:Recurrence>
    std::int16_t type;
    int interval, days, week_index, month, day_of_month, range, count;
    qv_filetime end;
};

const char *kItemHead = "<t:ItemId Id=\"AAMk=\" ChangeKey=\"Dw==\"/><t:Subject>Series</t:Subject>"
                        "<t:Start>2024-02-14T10:00:00Z</t:Start><t:End>2024-02-14T11:00:00Z</t:End>"
                        "<t:CalendarItemType>RecurringMaster</t:CalendarItemType>";

class RecurrenceTest : public ::testing::Test {
  protected:
    // The record read from a master with this Recurrence inside; the answer
    // must be one the schema accepts.
    qvtest::Record Read(const std::string &recurrence, const std::string &after = "")
    {
        const std::string xml = caltest::GetItemAnswer(
            kItemHead + ("<t:Recurrence>" + recurrence + "</t:Recurrence>") + after);
        const std::string path = caltest::StoreAnswer(dir.file("answer.xml"), xml);
        std::string findings;
        EXPECT_TRUE(conntest::TextValidatesAgainstSchema(xml, &findings)) << findings;
        qvtest::Record record = qvtest::new_record(1);
        std::string text = qvtest::read_file(path);
        ParseRecurrence(text, record.get());
        ParseOccurrences(record.get(), path);
        return record;
    }
    conntest::ScratchDir dir;
};

// The ordinary weekly, monthly and yearly series are read in
// calendar_export_exchangelib and the demo copy; here the boundaries.
TEST_F(RecurrenceTest, EveryPatternAndRangeReadIntoTheRecord)
{
    const PatternCase cases[] = {
        {"absolute yearly, end date in UTC",
         "<t:AbsoluteYearlyRecurrence><t:DayOfMonth>14</t:DayOfMonth><t:Month>February</t:Month>"
         "</t:AbsoluteYearlyRecurrence><t:EndDateRecurrence><t:StartDate>2024-02-14Z</t:StartDate>"
         "<t:EndDate>2030-02-14Z</t:EndDate></t:EndDateRecurrence>",
         1, 0, 0, 0, 2, 14, 1, 0, filetime_utc(2030, 2, 14)},
        {"absolute monthly on the 31st, no end",
         "<t:AbsoluteMonthlyRecurrence><t:Interval>2</t:Interval><t:DayOfMonth>31</t:DayOfMonth>"
         "</t:AbsoluteMonthlyRecurrence><t:NoEndRecurrence><t:StartDate>2024-01-31Z</t:StartDate>"
         "</t:NoEndRecurrence>",
         3, 2, 0, 0, 0, 31, 2, 0, 0},
        {"relative monthly, last weekday, end date west of UTC",
         "<t:RelativeMonthlyRecurrence><t:Interval>1</t:Interval><t:DaysOfWeek>Weekday</t:DaysOfWeek>"
         "<t:DayOfWeekIndex>Last</t:DayOfWeekIndex></t:RelativeMonthlyRecurrence>"
         "<t:EndDateRecurrence><t:StartDate>2024-01-31-05:00</t:StartDate>"
         "<t:EndDate>2024-12-31-05:00</t:EndDate></t:EndDateRecurrence>",
         4, 1, 62, 5, 0, 0, 1, 0, filetime_utc(2024, 12, 31, 5)},
        {"weekly on weekdays and Saturday",
         "<t:WeeklyRecurrence><t:Interval>1</t:Interval><t:DaysOfWeek>Weekday Saturday"
         "</t:DaysOfWeek></t:WeeklyRecurrence><t:NoEndRecurrence><t:StartDate>2024-02-12Z"
         "</t:StartDate></t:NoEndRecurrence>",
         5, 1, 126, 0, 0, 0, 2, 0, 0},
        {"daily, end date east of UTC keeps its day",
         "<t:DailyRecurrence><t:Interval>3</t:Interval></t:DailyRecurrence><t:EndDateRecurrence>"
         "<t:StartDate>2024-02-14+02:00</t:StartDate><t:EndDate>2024-06-30+02:00</t:EndDate>"
         "</t:EndDateRecurrence>",
         6, 3, 0, 0, 0, 0, 1, 0, filetime_utc(2024, 6, 30)},
    };
    for (const PatternCase &c : cases) {
        SCOPED_TRACE(c.what);
        const qvtest::Record r = Read(c.recurrence);
        // type, interval, days, week index, month, day of month, range, count, end
        EXPECT_EQ((std::tuple{
                      +r->recur_type, +r->recur_interval, +r->recur_days, +r->recur_week_index,
                      +r->recur_month, +r->recur_day_of_month, +r->recur_range, +r->recur_count, +r->recur_end}),
                  std::tuple(int{c.type}, c.interval, c.days, c.week_index, c.month, c.day_of_month,
                             c.range, c.count, c.end));
        EXPECT_EQ(+r->breakout_count, 0);
    }
}

TEST_F(RecurrenceTest, OnlyARecurringMasterHasARecurrence)
{
    std::string text = caltest::StoredForm(caltest::GetItemAnswer(
        "<t:Subject>x</t:Subject><t:CalendarItemType>Exception</t:CalendarItemType>"
        "<t:Recurrence><t:DailyRecurrence><t:Interval>1</t:Interval></t:DailyRecurrence>"
        "<t:NoEndRecurrence><t:StartDate>2024-02-14Z</t:StartDate></t:NoEndRecurrence>"
        "</t:Recurrence>"));
    qvtest::Record r = qvtest::new_record(1);
    ParseRecurrence(text, r.get());
    EXPECT_EQ(+r->recur_type, 0);
    EXPECT_EQ(+r->recur_range, 0);
    // An answer file that has gone holds no exceptions either.
    ParseOccurrences(r.get(), dir.file("missing.xml"));
    EXPECT_EQ(+r->breakout_count, 0);
}

// The zone's daylight rules are yearly patterns of their own: the reader
// cuts them out of the item text before the other readers see it.
TEST_F(RecurrenceTest, ZoneRulesAreCutFromTheItemText)
{
    std::string text = caltest::StoredForm(qvtest::read_file(caltest::DataFile("getitem_weekly_new_york.xml")));
    qvtest::Record r = qvtest::new_record(1);
    ParseRecurrence(text, r.get());
    EXPECT_EQ(text.find("MeetingTimeZone"), std::string::npos);
}

TEST(NameTables, DaysMonthsAndWeeks)
{
    EXPECT_EQ(DaysToMask("Monday Wednesday"), 10);
    EXPECT_EQ(DaysToMask("Weekday Saturday"), 126);
    EXPECT_EQ(DaysToMask("WeekendDay"), 0);
    EXPECT_EQ(MaskToDays(62), "Weekday");
    EXPECT_EQ(MaskToDays(0), "");
    for (int mask = 1; mask < 128; ++mask)
        EXPECT_EQ(DaysToMask(MaskToDays(mask)), mask) << MaskToDays(mask);

    int month = 7;
    MonthNumber("december", month);
    EXPECT_EQ(month, 12);
    MonthNumber("Decembre", month);
    EXPECT_EQ(month, 12) << "not a month: unchanged";
    EXPECT_EQ(WeekIndexName(5), "Last");
    EXPECT_EQ(WeekIndexName(6), "");
}

} // namespace
