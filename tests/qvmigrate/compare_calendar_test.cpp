// The demo's calendar check expands records into what a calendar shows:
// a series in its own zone across a daylight saving change, with its
// deleted and moved occurrences, and an endless "last Friday" series.  A checker that expanded wrongly would pass a broken copy.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compare_calendar.hpp"
#include "qv/qvcom.h"
#include "qv_test_support.hpp"

namespace {

using qvmigrate::expand_calendar_record;
using qvtest::filetime_utc;

std::vector<qv_filetime> Starts(const qv_message &record, int year = 2026)
{
    std::vector<qv_filetime> starts;
    for (const auto &o : expand_calendar_record(record, filetime_utc(year, 1, 1), filetime_utc(year + 3, 1, 1)))
        starts.push_back(o.start);
    return starts;
}

void AddBreakout(qv_message &msg, int kind, qv_filetime original, qv_filetime start, const char *subject = "")
{
    qv_breakout *b = com_AllocBreakout(&msg);
    b->kind = kind;
    b->original_start = original;
    b->start = start;
    b->end = start == 0 ? 0 : start + 30ULL * 60 * 10'000'000;
    qvtest::set_text(b->subject, subject);
    ++msg.breakout_count;
}

TEST(CalendarCheck, WeeklySeriesKeepsLocalTimeAcrossTheChangeWithItsBreakouts)
{
    auto msg = qvtest::new_record(1);
    qvtest::set_text(msg->title, "Weekly sync");
    qvtest::set_text(msg->time_zone, "Eastern Standard Time");
    msg->start_time = filetime_utc(2026, 2, 23, 14);
    msg->end_time = filetime_utc(2026, 2, 23, 14, 30);
    msg->recur_type = 5;
    msg->recur_interval = 1;
    msg->recur_days = 2; // Monday
    msg->recur_range = 0;
    msg->recur_count = 6;
    AddBreakout(*msg, 0, filetime_utc(2026, 3, 9, 13), filetime_utc(2026, 3, 9, 15), "Weekly sync (moved)");
    AddBreakout(*msg, 1, filetime_utc(2026, 3, 23, 13), 0);
    const auto occurrences =
        expand_calendar_record(*msg, filetime_utc(2026, 1, 1), filetime_utc(2029, 1, 1));
    std::vector<std::pair<std::string, qv_filetime>> seen;
    for (const auto &o : occurrences)
        seen.emplace_back(o.subject, o.start);
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, qv_filetime>>{
                        {"Weekly sync", filetime_utc(2026, 2, 23, 14)},
                        {"Weekly sync", filetime_utc(2026, 3, 2, 14)},
                        {"Weekly sync (moved)", filetime_utc(2026, 3, 9, 15)},
                        {"Weekly sync", filetime_utc(2026, 3, 16, 13)},
                        {"Weekly sync", filetime_utc(2026, 3, 30, 13)}}));
    EXPECT_EQ(occurrences[1].end, filetime_utc(2026, 3, 2, 14, 30));
}

TEST(CalendarCheck, EndlessRelativeYearlySeries)
{
    auto last_friday = qvtest::new_record(2);
    last_friday->start_time = last_friday->end_time = filetime_utc(2026, 11, 27, 9);
    last_friday->recur_type = 2;
    last_friday->recur_days = 32;
    last_friday->recur_week_index = 5;
    last_friday->recur_month = 11;
    last_friday->recur_range = 2; // no end: three years of it
    EXPECT_EQ(Starts(*last_friday), (std::vector<qv_filetime>{filetime_utc(2026, 11, 27, 9),
                                                              filetime_utc(2027, 11, 26, 9),
                                                              filetime_utc(2028, 11, 24, 9)}));
    last_friday->recur_type = 0; // a single event is itself
    EXPECT_EQ(Starts(*last_friday), (std::vector<qv_filetime>{filetime_utc(2026, 11, 27, 9)}));
}

} // namespace
