// Recurrence pattern, range and exceptions of a series (see recurrence.hpp).
#include "calendar/recurrence.hpp"

#include <array>
#include <cstdlib>
#include <cstring>

#include "common/text_case.hpp"
#include "common/unique_file.hpp"
#include "ews/xml_scan.hpp"
#include "qv/qvcom.h"
#include "transport/line_reader.hpp"

namespace qvamz::calendar {
namespace {

using qvcommon::ContainsNoCase;
using qvcommon::EqualsNoCase;

constexpr std::array<std::string_view, 7> kDayNames = {
    "Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
constexpr std::array<std::string_view, 12> kMonthNames = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};
constexpr std::array<std::string_view, 5> kWeekNames = {"First", "Second", "Third", "Fourth",
                                                         "Last"};

// Pattern elements in the order they are looked for, with their recur_type.
struct PatternName {
    std::string_view element;
    std::int16_t recur_type;
};
constexpr PatternName kPatterns[] = {
    {"t:AbsoluteYearlyRecurrence", kRecurAbsoluteYearly},
    {"t:RelativeYearlyRecurrence", kRecurRelativeYearly},
    {"t:AbsoluteMonthlyRecurrence", kRecurAbsoluteMonthly},
    {"t:RelativeMonthlyRecurrence", kRecurRelativeMonthly},
    {"t:WeeklyRecurrence", kRecurWeekly},
    {"t:DailyRecurrence", kRecurDaily},
};

std::string Value(const char *from, std::string_view name, std::size_t max = kRecurValueMax)
{
    std::string value;
    GetElementValue(from, name, value, max);
    return value;
}

// The Recurrence element alone, so that no value is taken from the zone
// definitions that follow it in the answer.
std::string RecurrenceElement(const std::string &item_text)
{
    const std::size_t start = item_text.find("<t:Recurrence>");
    if (start == std::string::npos)
        return {};
    const std::size_t end = item_text.find("</t:Recurrence>", start);
    return item_text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

void ReadPattern(const char *pattern, std::int16_t recur_type, qv_message *msg)
{
    msg->recur_type = recur_type;
    msg->recur_day_of_month = std::atoi(Value(pattern, "DayOfMonth").c_str());
    msg->recur_interval = std::atoi(Value(pattern, "Interval").c_str());
    int month = msg->recur_month;
    MonthNumber(Value(pattern, "Month"), month);
    msg->recur_month = month;
    msg->recur_days = DaysToMask(Value(pattern, "DaysOfWeek"));
    const std::string week = Value(pattern, "DayOfWeekIndex");
    for (std::size_t i = 0; i < kWeekNames.size(); ++i)
        if (ContainsNoCase(week, kWeekNames[i]))
            msg->recur_week_index = static_cast<int>(i) + 1;
}

void ReadRange(const char *recurrence, qv_message *msg)
{
    if (const char *at = com_stristr(recurrence, "t:NumberedRecurrence", 0)) {
        msg->recur_range = kRangeNumbered;
        msg->recur_count = std::atoi(Value(at, "NumberOfOccurrences").c_str());
    }
    if (com_stristr(recurrence, "t:NoEndRecurrence", 0))
        msg->recur_range = kRangeNoEnd;
    if (const char *at = com_stristr(recurrence, "t:EndDateRecurrence", 0)) {
        msg->recur_range = kRangeEndDate;
        msg->recur_end = ParseEwsDate(Value(at, "EndDate"));
    }
}

// Adds one breakout; dropped silently when the record holds no more.
void AddBreakout(qv_message *msg, int kind, qv_filetime original_start, qv_filetime start,
                 qv_filetime end)
{
    qv_breakout *breakout = com_AllocBreakout(msg);
    if (!breakout)
        return;
    breakout->kind = kind;
    breakout->original_start = original_start;
    breakout->start = start;
    breakout->end = end;
    ++msg->breakout_count;
}

// The trimmed line after a value tag.
qv_filetime NextDate(std::FILE *file)
{
    std::string line;
    ReadAnswerLine(file, line, kOccurrenceLineMax);
    com_TrimLine(line.data());
    line.resize(std::strlen(line.c_str()));
    return ParseEwsDate(line);
}

bool ReadTrimmedLine(std::FILE *file, std::string &line)
{
    if (!ReadAnswerLine(file, line, kOccurrenceLineMax))
        return false;
    com_TrimLine(line.data());
    line.resize(std::strlen(line.c_str()));
    return true;
}

// One <t:Occurrence> of ModifiedOccurrences, up to its closing tag.
void ReadModifiedOccurrence(std::FILE *file, qv_message *msg)
{
    qv_filetime original_start = 0, start = 0, end = 0;
    std::string line;
    while (ReadTrimmedLine(file, line) && !EqualsNoCase(line, "</t:Occurrence>")) {
        if (EqualsNoCase(line, "<t:Start>"))
            start = NextDate(file);
        else if (EqualsNoCase(line, "<t:End>"))
            end = NextDate(file);
        else if (EqualsNoCase(line, "<t:OriginalStart>"))
            original_start = NextDate(file);
    }
    AddBreakout(msg, kBreakoutModified, original_start, start, end);
}

void ReadDeletedOccurrence(std::FILE *file, qv_message *msg)
{
    qv_filetime original_start = 0;
    std::string line;
    while (ReadTrimmedLine(file, line) && !EqualsNoCase(line, "</t:DeletedOccurrence>"))
        if (EqualsNoCase(line, "<t:Start>"))
            original_start = NextDate(file);
    AddBreakout(msg, kBreakoutDeleted, original_start, 0, 0);
}

} // namespace

void ParseRecurrence(std::string &item_text, qv_message *msg)
{
    std::string item_type;
    GetElementValue(item_text.c_str(), "CalendarItemType", item_type, kItemTypeMax);
    if (item_type != "RecurringMaster")
        return;
    RemoveElement(item_text, "MeetingTimeZone");

    const std::string recurrence = RecurrenceElement(item_text);
    for (const PatternName &pattern : kPatterns) {
        if (const char *at = com_stristr(recurrence.c_str(), pattern.element.data(), 0)) {
            ReadPattern(at, pattern.recur_type, msg);
            break;
        }
    }
    ReadRange(recurrence.c_str(), msg);

    // A numbered or endless series ends with its last occurrence.
    if (com_DateIsNull(msg->recur_end)) {
        if (const char *last = com_stristr(item_text.c_str(), "t:LastOccurrence", 0))
            if (const std::string start = Value(last, "Start"); !start.empty())
                msg->recur_end = ParseEwsDate(start);
    }
}

void ParseOccurrences(qv_message *msg, const std::string &answer_path)
{
    qvcommon::UniqueFile file = qvcommon::OpenFile(answer_path, "rb");
    if (!file)
        return;
    // Occurrence elements also appear in zone definitions (the week of a
    // daylight saving transition): only those inside ModifiedOccurrences
    // are moved occurrences.
    bool in_modified = false;
    std::string line;
    while (ReadTrimmedLine(file.get(), line)) {
        if (EqualsNoCase(line, "<t:ModifiedOccurrences>"))
            in_modified = true;
        else if (EqualsNoCase(line, "</t:ModifiedOccurrences>"))
            in_modified = false;
        else if (in_modified && EqualsNoCase(line, "<t:Occurrence>"))
            ReadModifiedOccurrence(file.get(), msg);
        else if (EqualsNoCase(line, "<t:DeletedOccurrence>"))
            ReadDeletedOccurrence(file.get(), msg);
    }
}

int DaysToMask(std::string_view text)
{
    int mask = ContainsNoCase(text, "Weekday") ? kWeekdayMask : 0;
    for (std::size_t i = 0; i < kDayNames.size(); ++i)
        if (ContainsNoCase(text, kDayNames[i]))
            mask += 1 << i;
    return mask;
}

std::string MaskToDays(int mask)
{
    if (mask == kWeekdayMask)
        return "Weekday";
    std::string days;
    for (std::size_t i = 0; i < kDayNames.size(); ++i) {
        if (!(mask & (1 << i)))
            continue;
        if (!days.empty())
            days += ' ';
        days += kDayNames[i];
    }
    return days;
}

void MonthNumber(std::string_view text, int &month)
{
    for (std::size_t i = 0; i < kMonthNames.size(); ++i)
        if (EqualsNoCase(text, kMonthNames[i])) {
            month = static_cast<int>(i) + 1;
            return;
        }
}

std::string_view WeekIndexName(int index)
{
    return index >= 1 && index <= static_cast<int>(kWeekNames.size())
               ? kWeekNames[static_cast<std::size_t>(index - 1)]
               : std::string_view();
}

std::string_view MonthName(int month)
{
    return month >= 1 && month <= static_cast<int>(kMonthNames.size())
               ? kMonthNames[static_cast<std::size_t>(month - 1)]
               : std::string_view();
}

qv_filetime ParseEwsDate(std::string_view text)
{
    qv_filetime date = 0;
    // A date-time, or a date with a negative offset (read as the UTC hour
    // at which that local day begins).
    if (ParseEwsDateTime(text, date))
        return date;
    // A bare date, "Z" or a positive offset: the day itself, at 00:00 UTC,
    // so that the last day of a series stays the same day.
    const std::string day(text.substr(0, 10));
    if (day.size() == 10 && ParseEwsDateTime(day + "T00:00:00Z", date))
        return date;
    return 0;
}

} // namespace qvamz::calendar
