#include "calendar_recur.hpp"

#include <libical/ical.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "calendar_zone.hpp"

namespace sandbox {

namespace {

const char *kDayNames[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
const char *kDayCodes[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
const char *kMonthNames[] = {"January", "February", "March", "April", "May", "June", "July",
                             "August", "September", "October", "November", "December"};
const char *kIndexNames[] = {"First", "Second", "Third", "Fourth", "Last"};

bool is_pattern(const std::string &name) {
    return name == "DailyRecurrence" || name == "WeeklyRecurrence" ||
           name == "AbsoluteMonthlyRecurrence" || name == "RelativeMonthlyRecurrence" ||
           name == "AbsoluteYearlyRecurrence" || name == "RelativeYearlyRecurrence";
}

std::vector<std::string> words(const std::string &text) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find(' ', pos);
        if (end == std::string::npos) end = text.size();
        if (end > pos) out.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

// BYDAY codes of an EWS DaysOfWeek list ("Day", "Weekday" and
// "WeekendDay" stand for several days).
std::string day_codes(const std::string &days) {
    std::vector<bool> on(7, false);
    for (const auto &w : words(days)) {
        for (int i = 0; i < 7; ++i)
            if (w == kDayNames[i]) on[i] = true;
        if (w == "Day") on.assign(7, true);
        if (w == "Weekday")
            for (int i = 1; i <= 5; ++i) on[i] = true;
        if (w == "WeekendDay") on[0] = on[6] = true;
    }
    std::string out;
    for (int i = 0; i < 7; ++i) {
        if (!on[i]) continue;
        if (!out.empty()) out += ",";
        out += kDayCodes[i];
    }
    return out;
}

int month_number(const std::string &name) {
    for (int i = 0; i < 12; ++i)
        if (name == kMonthNames[i]) return i + 1;
    return 0;
}

int index_position(const std::string &index) {
    for (int i = 0; i < 4; ++i)
        if (index == kIndexNames[i]) return i + 1;
    return -1; // Last
}

// BYMONTHDAY for a day some months lack: the day itself, or the month's
// last day when it is shorter.
std::string month_day_rule(int day) {
    if (day < 29) return "BYMONTHDAY=" + std::to_string(day);
    std::string days = "28";
    for (int d = 29; d <= day; ++d) days += "," + std::to_string(d);
    return "BYMONTHDAY=" + days + ";BYSETPOS=-1";
}

std::string text_of(xmlNodePtr parent, const char *name) { return node_text(child(parent, name)); }

int int_of(xmlNodePtr parent, const char *name, int fallback) {
    xmlNodePtr e = child(parent, name);
    if (!e) return fallback;
    try {
        return std::stoi(node_text(e));
    } catch (...) {
        return fallback;
    }
}

struct IcalRule {
    icalrecur_iterator *it = nullptr;
    ~IcalRule() {
        if (it) icalrecur_iterator_free(it);
    }
};

icaltimetype ical_local(const LocalTime &t) {
    icaltimetype v = icaltime_null_time();
    v.year = t.year;
    v.month = t.month;
    v.day = t.day;
    v.hour = t.hour;
    v.minute = t.minute;
    v.second = t.second;
    v.is_date = 0;
    return v;
}

} // namespace

std::optional<RecurrenceRule> parse_recurrence(xmlNodePtr recurrence, EwsError &error) {
    RecurrenceRule r;
    auto invalid = [&](const std::string &why) {
        error = ews_error("ErrorCalendarInvalidRecurrence", "The recurrence pattern is invalid: " + why);
        return std::nullopt;
    };
    xmlNodePtr pattern = nullptr, range = nullptr;
    for (xmlNodePtr c : children(recurrence)) {
        if (is_pattern(local_name(c))) pattern = c;
        else range = c;
    }
    if (!pattern) return invalid("the sandbox keeps calendar patterns only, no regenerating tasks.");
    std::string name = local_name(pattern);
    r.pattern = name.substr(0, name.size() - std::string("Recurrence").size());
    r.interval = int_of(pattern, "Interval", 1);
    r.days_of_week = text_of(pattern, "DaysOfWeek");
    r.day_of_week_index = text_of(pattern, "DayOfWeekIndex");
    r.day_of_month = int_of(pattern, "DayOfMonth", 0);
    r.month = text_of(pattern, "Month");
    r.first_day_of_week = text_of(pattern, "FirstDayOfWeek");
    if (r.interval < 1 || r.interval > 999) return invalid("the interval must be 1 to 999.");
    if (child(pattern, "DayOfMonth") && (r.day_of_month < 1 || r.day_of_month > 31))
        return invalid("the day of the month must be 1 to 31.");
    if (child(pattern, "DaysOfWeek") && day_codes(r.days_of_week).empty())
        return invalid("no day of the week is named.");
    std::string range_name = local_name(range);
    r.range = range_name.substr(0, range_name.size() - std::string("Recurrence").size());
    r.start_date = text_of(range, "StartDate");
    if (!parse_local_date(r.start_date)) return invalid("the range has no valid start date.");
    r.start_date = format_local_date(*parse_local_date(r.start_date));
    if (r.range == "EndDate") {
        auto end = parse_local_date(text_of(range, "EndDate"));
        if (!end) return invalid("the range has no valid end date.");
        r.end_date = format_local_date(*end);
        if (r.end_date < r.start_date) return invalid("the range ends before it starts.");
    } else if (r.range == "Numbered") {
        r.count = int_of(range, "NumberOfOccurrences", 0);
        if (r.count < 1 || r.count > 999) return invalid("the number of occurrences must be 1 to 999.");
    } else if (r.range != "NoEnd") {
        return invalid("unknown range " + range_name + ".");
    }
    return r;
}

void write_recurrence(XmlOut &out, const RecurrenceRule &r) {
    out.open("t:Recurrence").open("t:" + r.pattern + "Recurrence");
    const bool yearly = r.pattern == "AbsoluteYearly" || r.pattern == "RelativeYearly";
    if (!yearly) out.leaf("t:Interval", r.interval);
    if (r.pattern == "Weekly" || r.pattern == "RelativeMonthly" || r.pattern == "RelativeYearly")
        out.leaf("t:DaysOfWeek", r.days_of_week);
    if (r.pattern == "RelativeMonthly" || r.pattern == "RelativeYearly")
        out.leaf("t:DayOfWeekIndex", r.day_of_week_index);
    if (r.pattern == "AbsoluteMonthly" || r.pattern == "AbsoluteYearly") out.leaf("t:DayOfMonth", r.day_of_month);
    if (yearly) out.leaf("t:Month", r.month);
    if (r.pattern == "Weekly" && !r.first_day_of_week.empty()) out.leaf("t:FirstDayOfWeek", r.first_day_of_week);
    out.close();
    out.open("t:" + r.range + "Recurrence").leaf("t:StartDate", r.start_date);
    if (r.range == "EndDate") out.leaf("t:EndDate", r.end_date);
    if (r.range == "Numbered") out.leaf("t:NumberOfOccurrences", r.count);
    out.close().close();
}

std::string rrule_of(const RecurrenceRule &r) {
    std::string interval = ";INTERVAL=" + std::to_string(r.interval);
    std::string byday = ";BYDAY=" + day_codes(r.days_of_week);
    std::string setpos = ";BYSETPOS=" + std::to_string(index_position(r.day_of_week_index));
    std::string month = ";BYMONTH=" + std::to_string(month_number(r.month));
    if (r.pattern == "Daily") return "FREQ=DAILY" + interval;
    if (r.pattern == "Weekly") {
        std::string wkst = r.first_day_of_week.empty() ? "" : ";WKST=" + day_codes(r.first_day_of_week);
        return "FREQ=WEEKLY" + interval + byday + wkst;
    }
    if (r.pattern == "AbsoluteMonthly") return "FREQ=MONTHLY" + interval + ";" + month_day_rule(r.day_of_month);
    if (r.pattern == "RelativeMonthly") return "FREQ=MONTHLY" + interval + byday + setpos;
    if (r.pattern == "AbsoluteYearly") return "FREQ=YEARLY" + month + ";" + month_day_rule(r.day_of_month);
    return "FREQ=YEARLY" + month + byday + setpos; // RelativeYearly
}

std::vector<SeriesInstance> expand_series(const CalendarData &series, UnixTime before, std::size_t limit) {
    std::vector<SeriesInstance> out;
    if (!series.recurrence) return out;
    const RecurrenceRule &r = *series.recurrence;
    auto start_day = parse_local_date(r.start_date);
    if (!start_day) return out;
    LocalTime first = utc_to_local(series.zone_id, series.start);
    first.year = start_day->year;
    first.month = start_day->month;
    first.day = start_day->day;
    std::string rule = rrule_of(r);
    if (r.range == "Numbered") rule += ";COUNT=" + std::to_string(r.count);
    if (r.range == "EndDate") rule += ";UNTIL=" + r.end_date.substr(0, 4) + r.end_date.substr(5, 2) +
                                      r.end_date.substr(8, 2) + "T235959";
    icalrecurrencetype rec = icalrecurrencetype_from_string(rule.c_str());
    if (rec.freq == ICAL_NO_RECURRENCE) return out;
    IcalRule iter;
    iter.it = icalrecur_iterator_new(rec, ical_local(first));
    if (!iter.it) return out;
    ZoneClock clock(series.zone_id);
    // libical skips a start that does not fit the pattern: the first
    // occurrence is the first day on or after the range's start that does.
    for (int index = 1; out.size() < limit; ++index) {
        icaltimetype t = icalrecur_iterator_next(iter.it);
        if (icaltime_is_null_time(t)) break;
        LocalTime local{t.year, t.month, t.day, t.hour, t.minute, t.second};
        UnixTime utc = clock.to_utc(local);
        if (utc >= before) break;
        out.push_back({index, utc});
    }
    return out;
}

std::optional<UnixTime> first_series_start(const CalendarData &series) {
    auto first = expand_series(series, INT64_MAX, 1);
    if (first.empty()) return std::nullopt;
    return first.front().start;
}

} // namespace sandbox
