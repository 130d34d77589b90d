#include "tasks/task_recurrence.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ews/xml_scan.hpp"
#include "qv/qvcom.h"

namespace qvamz::tasks {
namespace {

// recur_type values of the record.
enum RecurType : int {
    kNone = 0, kAbsoluteYearly = 1, kRelativeYearly = 2, kAbsoluteMonthly = 3,
    kRelativeMonthly = 4, kWeekly = 5, kDaily = 6, kEveryWeekday = 7,
};
enum RecurRange : int { kNumbered = 0, kEndDate = 1, kNoEnd = 2 };

struct Pattern {
    const char *element;
    int type;
    const char *word;
};
constexpr Pattern kPatterns[] = {
    {"RelativeYearlyRecurrence", kRelativeYearly, "yearly"},
    {"AbsoluteYearlyRecurrence", kAbsoluteYearly, "yearly"},
    {"RelativeMonthlyRecurrence", kRelativeMonthly, "monthly"},
    {"AbsoluteMonthlyRecurrence", kAbsoluteMonthly, "monthly"},
    {"WeeklyRecurrence", kWeekly, "weekly"},
    {"DailyRecurrence", kDaily, "daily"},
};
constexpr Pattern kRegenerations[] = {
    {"DailyRegeneration", 0, "daily"},
    {"WeeklyRegeneration", 0, "weekly"},
    {"MonthlyRegeneration", 0, "monthly"},
    {"YearlyRegeneration", 0, "yearly"},
};

constexpr std::array<const char *, 7> kDays = {"Sunday", "Monday", "Tuesday", "Wednesday",
                                               "Thursday", "Friday", "Saturday"};
constexpr int kAllDays = 0x7F, kWeekdays = 0x3E, kWeekendDays = 0x41;
constexpr std::array<const char *, 5> kWeekIndexes = {"First", "Second", "Third", "Fourth", "Last"};
constexpr std::array<const char *, 12> kMonths = {"January", "February", "March", "April",
                                                  "May", "June", "July", "August",
                                                  "September", "October", "November", "December"};

constexpr std::size_t kValueMax = 250;

std::string Value(const char *text, const char *name)
{
    std::string out;
    GetElementValue(text, name, out, kValueMax);
    return out;
}

// "Monday Friday", or one of the group words, as a day mask.
int DayMask(const std::string &days)
{
    int mask = 0;
    std::size_t from = 0;
    while (from < days.size()) {
        std::size_t end = days.find(' ', from);
        if (end == std::string::npos)
            end = days.size();
        const std::string word = days.substr(from, end - from);
        for (std::size_t i = 0; i < kDays.size(); ++i)
            if (word == kDays[i])
                mask |= 1 << i;
        if (word == "Day")
            mask |= kAllDays;
        else if (word == "Weekday")
            mask |= kWeekdays;
        else if (word == "WeekendDay")
            mask |= kWeekendDays;
        from = end + 1;
    }
    return mask;
}

template <std::size_t N>
int IndexOf(const std::array<const char *, N> &names, const std::string &word)
{
    for (std::size_t i = 0; i < N; ++i)
        if (word == names[i])
            return static_cast<int>(i) + 1;
    return 0;
}

// An xs:date ("2026-01-05", with or without a zone) as midnight UTC.
qv_filetime DateValue(const std::string &text)
{
    qv_filetime out = 0;
    if (text.size() >= 10)
        ParseEwsDateTime(text.substr(0, 10) + "T00:00:00Z", out);
    return out;
}

std::string DateText(qv_filetime date)
{
    const std::time_t seconds = static_cast<std::time_t>(com_FileTimeToUnix(date));
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday);
    return text;
}

std::string Leaf(const char *name, const std::string &value)
{
    return std::string("<t:") + name + ">" + value + "</t:" + name + ">\n";
}

// Weekly patterns list days; the relative ones name a single day or group.
std::string DaysText(int mask, bool list)
{
    mask &= kAllDays;
    if (!list) {
        if (mask == kAllDays)
            return "Day";
        if (mask == kWeekdays)
            return "Weekday";
        if (mask == kWeekendDays)
            return "WeekendDay";
    }
    std::string out;
    for (std::size_t i = 0; i < kDays.size(); ++i) {
        if (!(mask & (1 << i)))
            continue;
        if (!list)
            return kDays[i];
        out += out.empty() ? "" : " ";
        out += kDays[i];
    }
    return out.empty() ? "Sunday" : out;
}

std::string PatternElement(const qv_message &msg)
{
    const std::string interval = std::to_string(msg.recur_interval > 0 ? msg.recur_interval : 1);
    const std::string week_index = kWeekIndexes[static_cast<std::size_t>(
        msg.recur_week_index >= 1 && msg.recur_week_index <= 5 ? msg.recur_week_index - 1 : 0)];
    const std::string month =
        kMonths[static_cast<std::size_t>(msg.recur_month >= 1 && msg.recur_month <= 12 ? msg.recur_month - 1 : 0)];
    const std::string day = std::to_string(msg.recur_day_of_month >= 1 ? msg.recur_day_of_month : 1);
    switch (msg.recur_type) {
    case kAbsoluteYearly:
        return "<t:AbsoluteYearlyRecurrence>\n" + Leaf("DayOfMonth", day) + Leaf("Month", month) +
               "</t:AbsoluteYearlyRecurrence>\n";
    case kRelativeYearly:
        return "<t:RelativeYearlyRecurrence>\n" + Leaf("DaysOfWeek", DaysText(msg.recur_days, false)) +
               Leaf("DayOfWeekIndex", week_index) + Leaf("Month", month) + "</t:RelativeYearlyRecurrence>\n";
    case kAbsoluteMonthly:
        return "<t:AbsoluteMonthlyRecurrence>\n" + Leaf("Interval", interval) + Leaf("DayOfMonth", day) +
               "</t:AbsoluteMonthlyRecurrence>\n";
    case kRelativeMonthly:
        return "<t:RelativeMonthlyRecurrence>\n" + Leaf("Interval", interval) +
               Leaf("DaysOfWeek", DaysText(msg.recur_days, false)) + Leaf("DayOfWeekIndex", week_index) +
               "</t:RelativeMonthlyRecurrence>\n";
    case kWeekly:
        return "<t:WeeklyRecurrence>\n" + Leaf("Interval", interval) +
               Leaf("DaysOfWeek", DaysText(msg.recur_days, true)) + "</t:WeeklyRecurrence>\n";
    case kEveryWeekday:
        return "<t:WeeklyRecurrence>\n" + Leaf("Interval", "1") + Leaf("DaysOfWeek", DaysText(kWeekdays, true)) +
               "</t:WeeklyRecurrence>\n";
    case kDaily:
        return "<t:DailyRecurrence>\n" + Leaf("Interval", interval) + "</t:DailyRecurrence>\n";
    default:
        return {};
    }
}

} // namespace

RecurrenceFound ReadTaskRecurrence(const char *answer, qv_message *msg)
{
    RecurrenceFound found;
    const char *recurrence = std::strstr(answer, "<t:Recurrence>");
    if (!recurrence)
        return found;
    for (const Pattern &p : kRegenerations) {
        if (std::strstr(recurrence, (std::string("<t:") + p.element + ">").c_str())) {
            found = {true, true, p.word};
            return found;
        }
    }
    for (const Pattern &p : kPatterns) {
        if (!std::strstr(recurrence, (std::string("<t:") + p.element + ">").c_str()))
            continue;
        found = {true, false, p.word};
        msg->recur_type = static_cast<std::int16_t>(p.type);
        break;
    }
    if (!found.present)
        return found;
    const std::string interval = Value(recurrence, "Interval");
    msg->recur_interval = interval.empty() ? 1 : std::atoi(interval.c_str());
    msg->recur_days = DayMask(Value(recurrence, "DaysOfWeek"));
    msg->recur_week_index = IndexOf(kWeekIndexes, Value(recurrence, "DayOfWeekIndex"));
    msg->recur_month = IndexOf(kMonths, Value(recurrence, "Month"));
    msg->recur_day_of_month = std::atoi(Value(recurrence, "DayOfMonth").c_str());
    if (std::strstr(recurrence, "<t:NumberedRecurrence>")) {
        msg->recur_range = kNumbered;
        msg->recur_count = std::atoi(Value(recurrence, "NumberOfOccurrences").c_str());
    } else if (std::strstr(recurrence, "<t:EndDateRecurrence>")) {
        msg->recur_range = kEndDate;
        msg->recur_end = DateValue(Value(recurrence, "EndDate"));
    } else {
        msg->recur_range = kNoEnd;
    }
    return found;
}

std::string TaskRecurrenceElement(const qv_message &msg, qv_filetime today)
{
    const std::string pattern = PatternElement(msg);
    if (pattern.empty())
        return {};
    const qv_filetime start = !com_DateIsNull(msg.start_time) ? msg.start_time
                              : !com_DateIsNull(msg.end_time) ? msg.end_time
                                                              : today;
    std::string range;
    const std::string start_date = Leaf("StartDate", DateText(start));
    if (msg.recur_range == kNumbered && msg.recur_count > 0)
        range = "<t:NumberedRecurrence>\n" + start_date +
                Leaf("NumberOfOccurrences", std::to_string(msg.recur_count)) + "</t:NumberedRecurrence>\n";
    else if (msg.recur_range == kEndDate && !com_DateIsNull(msg.recur_end))
        range = "<t:EndDateRecurrence>\n" + start_date + Leaf("EndDate", DateText(msg.recur_end)) +
                "</t:EndDateRecurrence>\n";
    else
        range = "<t:NoEndRecurrence>\n" + start_date + "</t:NoEndRecurrence>\n";
    return "<t:Recurrence>\n" + pattern + range + "</t:Recurrence>\n";
}

std::string RecurrenceNote(const std::string &period_word)
{
    return "\nPLEASE NOTE: This task was originally recurring, but this conversion is not "
           "supported.\nThis task repeats on a " +
           period_word + " basis.\n";
}

} // namespace qvamz::tasks
