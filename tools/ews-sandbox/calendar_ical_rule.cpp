#include "calendar_ical_rule.hpp"

#include <algorithm>
#include <cstdio>
#include <tuple>
#include <set>
#include <vector>

#include "calendar_ical.hpp"
#include "calendar_recur.hpp"

namespace sandbox {

namespace {

const char *kDayNames[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
const char *kMonthNames[] = {"January", "February", "March", "April", "May", "June", "July",
                             "August", "September", "October", "November", "December"};

// Entries of one of libical's BY* lists, up to its end marker.
template <std::size_t N> std::vector<int> entries(const short (&list)[N]) {
    std::vector<int> out;
    for (std::size_t i = 0; i < N && list[i] != ICAL_RECURRENCE_ARRAY_MAX; ++i) out.push_back(list[i]);
    return out;
}

// Days of the week, 0 Sunday ... 6 Saturday, as EWS names a set of them:
// single names, or "Day", "Weekday", "WeekendDay" where a relative pattern
// means any one of several days.
std::string day_list(const std::set<int> &days, bool grouped) {
    if (grouped && days.size() == 7) return "Day";
    if (grouped && days == std::set<int>{1, 2, 3, 4, 5}) return "Weekday";
    if (grouped && days == std::set<int>{0, 6}) return "WeekendDay";
    std::string out;
    for (int d : days) out += (out.empty() ? "" : " ") + std::string(kDayNames[d]);
    return out;
}

int weekday_of(const LocalTime &t) {
    std::int64_t days = days_from_civil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day));
    return static_cast<int>(((days % 7) + 11) % 7); // 1970-01-01 was a Thursday
}

const char *index_name(int position) {
    static const char *names[] = {"First", "Second", "Third", "Fourth"};
    if (position >= 1 && position <= 4) return names[position - 1];
    return position == -1 ? "Last" : nullptr;
}

struct Unsupported {
    std::string why;
};

// The day part of a monthly or yearly rule: relative ("the second
// Tuesday", "the last weekday") or absolute ("the 31st").
void month_days(const icalrecurrencetype &r, const LocalTime &start, RecurrenceRule &out, bool &relative) {
    std::vector<int> by_day = entries(r.by_day), month_day = entries(r.by_month_day), set_pos = entries(r.by_set_pos);
    relative = !by_day.empty();
    if (relative) {
        std::set<int> days;
        std::set<int> positions;
        for (int v : by_day) {
            days.insert(static_cast<int>(icalrecurrencetype_day_day_of_week(static_cast<short>(v))) - 1);
            positions.insert(icalrecurrencetype_day_position(static_cast<short>(v)));
        }
        int position = *positions.begin();
        if (positions.size() != 1) throw Unsupported{"days with different positions"};
        if (position == 0 && set_pos.size() == 1) position = set_pos.front();
        else if (!set_pos.empty() || position == 0) throw Unsupported{"a day without a single position"};
        if (!index_name(position)) throw Unsupported{"a position other than 1 to 4 or -1"};
        out.days_of_week = day_list(days, true);
        out.day_of_week_index = index_name(position);
        return;
    }
    if (month_day.empty()) out.day_of_month = start.day;
    else if (month_day.size() == 1 && month_day.front() == -1) out.day_of_month = 31; // the last day
    else if (month_day.size() == 1 && month_day.front() >= 1) out.day_of_month = month_day.front();
    else if (set_pos == std::vector<int>{-1} && month_day.front() >= 1) {
        // "28,29,30,31 with the last of them": the day, or the month's last.
        out.day_of_month = *std::max_element(month_day.begin(), month_day.end());
    } else throw Unsupported{"several days of the month"};
}

void check_plain(const icalrecurrencetype &r) {
    if (!entries(r.by_second).empty() || !entries(r.by_minute).empty() || !entries(r.by_hour).empty() ||
        !entries(r.by_year_day).empty() || !entries(r.by_week_no).empty())
        throw Unsupported{"BYSECOND, BYMINUTE, BYHOUR, BYYEARDAY or BYWEEKNO"};
    if (r.rscale && *r.rscale) throw Unsupported{"a calendar scale other than Gregorian"};
}

void pattern_of(const icalrecurrencetype &r, const LocalTime &start, RecurrenceRule &out) {
    check_plain(r);
    out.interval = r.interval < 1 ? 1 : r.interval;
    std::vector<int> by_day = entries(r.by_day), by_month = entries(r.by_month);
    std::set<int> days;
    for (int v : by_day) {
        if (icalrecurrencetype_day_position(static_cast<short>(v)) != 0 &&
            r.freq != ICAL_MONTHLY_RECURRENCE && r.freq != ICAL_YEARLY_RECURRENCE)
            throw Unsupported{"a day position outside a monthly or yearly rule"};
        days.insert(static_cast<int>(icalrecurrencetype_day_day_of_week(static_cast<short>(v))) - 1);
    }
    bool relative = false;
    switch (r.freq) {
    case ICAL_DAILY_RECURRENCE:
        if (!by_month.empty() || !entries(r.by_month_day).empty()) throw Unsupported{"a daily rule with BYMONTH"};
        if (days.empty()) {
            out.pattern = "Daily";
            return;
        }
        // Every day that is one of these: a weekly pattern of them.
        if (out.interval != 1) throw Unsupported{"a daily rule with days and an interval"};
        out.pattern = "Weekly";
        out.days_of_week = day_list(days, false);
        return;
    case ICAL_WEEKLY_RECURRENCE:
        if (!by_month.empty() || !entries(r.by_month_day).empty()) throw Unsupported{"a weekly rule with BYMONTH"};
        out.pattern = "Weekly";
        out.days_of_week = day_list(days.empty() ? std::set<int>{weekday_of(start)} : days, false);
        if (r.week_start != ICAL_NO_WEEKDAY && out.interval > 1)
            out.first_day_of_week = kDayNames[static_cast<int>(r.week_start) - 1];
        return;
    case ICAL_MONTHLY_RECURRENCE:
        if (!by_month.empty()) throw Unsupported{"a monthly rule with BYMONTH"};
        month_days(r, start, out, relative);
        out.pattern = relative ? "RelativeMonthly" : "AbsoluteMonthly";
        return;
    case ICAL_YEARLY_RECURRENCE: {
        if (by_month.size() > 1) throw Unsupported{"several months"};
        int month = by_month.empty() ? start.month : by_month.front();
        if (month < 1 || month > 12) throw Unsupported{"a month outside 1 to 12"};
        month_days(r, start, out, relative);
        if (out.interval > 1) {
            // Every n years is every 12 n months from the start's month.
            if (month != start.month) throw Unsupported{"a yearly interval in another month than the start's"};
            out.interval *= 12;
            out.pattern = relative ? "RelativeMonthly" : "AbsoluteMonthly";
            return;
        }
        out.month = kMonthNames[month - 1];
        out.pattern = relative ? "RelativeYearly" : "AbsoluteYearly";
        return;
    }
    default: throw Unsupported{"a frequency below a day"};
    }
}

// The local date of the last occurrence UNTIL allows: the date UNTIL falls
// on, or the day before when the series' time of day is later than UNTIL's.
std::string end_date_of(const icaltimetype &until, const LocalTime &start, const std::string &zone_id) {
    LocalTime last{until.year, until.month, until.day, until.hour, until.minute, until.second};
    if (!until.is_date && icaltime_is_utc(until))
        last = utc_to_local(zone_id, static_cast<UnixTime>(icaltime_as_timet(until)));
    if (!until.is_date && std::make_tuple(last.hour, last.minute, last.second) <
                              std::make_tuple(start.hour, start.minute, start.second)) {
        std::int64_t day = days_from_civil(last.year, static_cast<unsigned>(last.month),
                                           static_cast<unsigned>(last.day)) - 1;
        last = utc_to_local("", day * 86400 + 43200);
    }
    return format_local_date(last);
}

std::string compact_date(const std::string &date) {
    return date.substr(0, 4) + date.substr(5, 2) + date.substr(8, 2);
}

} // namespace

std::optional<RecurrenceRule> rule_from_rrule(const icalrecurrencetype &r, const LocalTime &start,
                                              const std::string &zone_id, EwsError &error) {
    RecurrenceRule out;
    try {
        pattern_of(r, start, out);
    } catch (const Unsupported &u) {
        error = ews_error("ErrorCalendarInvalidRecurrence",
                          "The recurrence pattern is invalid: EWS cannot state an RRULE with " + u.why + ".");
        return std::nullopt;
    }
    auto invalid = [&](const std::string &why) {
        error = ews_error("ErrorCalendarInvalidRecurrence", "The recurrence pattern is invalid: " + why);
        return std::nullopt;
    };
    if (out.interval > 999) return invalid("the interval must be 1 to 999.");
    if (out.day_of_month > 31) return invalid("the day of the month must be 1 to 31.");
    out.start_date = format_local_date(start);
    if (r.count > 0) {
        if (r.count > 999) return invalid("the number of occurrences must be 1 to 999.");
        out.range = "Numbered";
        out.count = r.count;
    } else if (!icaltime_is_null_time(r.until)) {
        out.range = "EndDate";
        out.end_date = end_date_of(r.until, start, zone_id);
        if (out.end_date < out.start_date) return invalid("the range ends before it starts.");
    } else {
        out.range = "NoEnd";
    }
    return out;
}

std::string rrule_with_range(const RecurrenceRule &rule, const std::string &zone_id, bool all_day) {
    std::string text = rrule_of(rule);
    if (rule.range == "Numbered") text += ";COUNT=" + std::to_string(rule.count);
    if (rule.range == "EndDate") {
        if (all_day) return text + ";UNTIL=" + compact_date(rule.end_date);
        auto end = parse_local_date(rule.end_date);
        LocalTime last = *end;
        last.hour = 23;
        last.minute = 59;
        last.second = 59;
        icaltimetype until = icaltime_from_timet_with_zone(
            static_cast<time_t>(local_to_utc(zone_id, last)), 0, ical_utc());
        char *until_text = icaltime_as_ical_string_r(until);
        text += std::string(";UNTIL=") + (until_text ? until_text : "");
        icalmemory_free_buffer(until_text);
    }
    return text;
}

} // namespace sandbox
