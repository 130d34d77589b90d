// Recurrence element of a written series (see recurrence_writer.hpp).
#include "calendar/recurrence_writer.hpp"

#include <cstdio>
#include <ctime>

#include "calendar/recurrence.hpp"
#include "calendar/time_zone_map.hpp"
#include "calendar/zone_elements.hpp"
#include "qv/qvcom.h"

namespace qvamz::calendar {
namespace {

std::string DateText(qv_filetime date)
{
    const std::time_t seconds = static_cast<std::time_t>(com_FileTimeToUnix(date));
    std::tm day{};
    gmtime_r(&seconds, &day);
    char text[32];
    std::snprintf(text, sizeof text, "%d-%02d-%02d", day.tm_year + 1900, day.tm_mon + 1, day.tm_mday);
    return text;
}

std::string Element(std::string_view name, std::string_view value)
{
    return "<t:" + std::string(name) + ">" + std::string(value) + "</t:" + std::string(name) + ">\n";
}

std::string Number(std::string_view name, int value)
{
    return Element(name, std::to_string(value));
}

// The pattern lines and the cap of a numbered series; no lines for a type
// that names no pattern.
struct Pattern {
    std::string lines;
    int cap = 0;
};

Pattern PatternOf(const qv_message &msg)
{
    const std::string days = MaskToDays(msg.recur_days);
    const std::string_view week = WeekIndexName(msg.recur_week_index);
    const std::string_view month = MonthName(msg.recur_month);
    switch (msg.recur_type) {
    case kRecurAbsoluteYearly:
        return {"<t:AbsoluteYearlyRecurrence>\n" + Number("DayOfMonth", msg.recur_day_of_month) +
                    Element("Month", month) + "</t:AbsoluteYearlyRecurrence>\n",
                kYearlyOccurrencesMax};
    case kRecurRelativeYearly:
        return {"<t:RelativeYearlyRecurrence>\n" + Element("DaysOfWeek", days) +
                    Element("DayOfWeekIndex", week) + Element("Month", month) +
                    "</t:RelativeYearlyRecurrence>\n",
                kYearlyOccurrencesMax};
    case kRecurAbsoluteMonthly:
        return {"<t:AbsoluteMonthlyRecurrence>\n" + Number("Interval", msg.recur_interval) +
                    Number("DayOfMonth", msg.recur_day_of_month) + "</t:AbsoluteMonthlyRecurrence>\n",
                kMonthlyOccurrencesMax};
    case kRecurRelativeMonthly:
        return {"<t:RelativeMonthlyRecurrence>\n" + Number("Interval", msg.recur_interval) +
                    Element("DaysOfWeek", days) + Element("DayOfWeekIndex", week) +
                    "</t:RelativeMonthlyRecurrence>\n",
                kMonthlyOccurrencesMax};
    case kRecurWeekly:
        return {"<t:WeeklyRecurrence>\n" + Number("Interval", msg.recur_interval) +
                    Element("DaysOfWeek", days) + "</t:WeeklyRecurrence>\n",
                kWeeklyOccurrencesMax};
    case kRecurDaily:
        return {"<t:DailyRecurrence>\n" + Number("Interval", msg.recur_interval) + "</t:DailyRecurrence>\n",
                kDailyOccurrencesMax};
    case kRecurEveryWeekday:
        return {"<t:WeeklyRecurrence>\n<t:Interval>1</t:Interval>\n" +
                    Element("DaysOfWeek", MaskToDays(kWeekdayMask)) + "</t:WeeklyRecurrence>\n",
                kWeeklyOccurrencesMax};
    default:
        return {};
    }
}

std::string RangeOf(const qv_message &msg, const std::string &start_date)
{
    const std::string start = Element("StartDate", start_date);
    switch (msg.recur_range) {
    case kRangeNumbered:
        return "<t:NumberedRecurrence>\n" + start + Number("NumberOfOccurrences", msg.recur_count) +
               "</t:NumberedRecurrence>\n";
    case kRangeEndDate:
        return "<t:EndDateRecurrence>\n" + start + Element("EndDate", DateText(msg.recur_end)) +
               "</t:EndDateRecurrence>\n";
    default:
        return "<t:NoEndRecurrence>\n" + start + "</t:NoEndRecurrence>\n";
    }
}

constexpr qv_filetime kTicksPerDay = 24ULL * 60 * 60 * 10'000'000;

// Local time in the record's zone, held as if it were UTC.
struct EventLocal {
    std::string id;
    bool known = false;
    std::int32_t bias = 0, daylight_bias = 0, has_daylight = 0;
    int host_bias = 0, host_dst_offset = 0;

    EventLocal(const qv_message &msg, const RecurrenceZone &zone)
        : id(MapTimeZoneId(msg.time_zone[0] != '\0' ? std::string_view(msg.time_zone) : zone.session_zone_name)),
          host_bias(zone.session_bias), host_dst_offset(zone.session_dst_offset)
    {
        known = !id.empty() && com_GetTZInfo(id.c_str(), &bias, &daylight_bias, &has_daylight, 0) != 0;
    }
    bool DstAtLocal(qv_filetime local_standard) const
    {
        std::int32_t state = 0;
        return has_daylight && com_TZDateIsDST(local_standard, id.c_str(), daylight_bias, &state) && state;
    }
    qv_filetime ToLocal(qv_filetime utc) const
    {
        qv_filetime local = utc;
        if (!known) {
            com_OffsetFileTimeVal(&local, -host_bias);
            if (HostDateIsDst(utc))
                com_OffsetFileTimeVal(&local, -host_dst_offset);
            return local;
        }
        com_OffsetFileTimeVal(&local, -bias);
        if (DstAtLocal(local))
            com_OffsetFileTimeVal(&local, -daylight_bias);
        return local;
    }
    qv_filetime ToUtc(qv_filetime local) const
    {
        qv_filetime utc = local;
        com_OffsetFileTimeVal(&utc, bias + (DstAtLocal(local) ? daylight_bias : 0));
        return utc;
    }
};

} // namespace

std::string SeriesStartDate(const qv_message &msg, const RecurrenceZone &zone)
{
    return DateText(EventLocal(msg, zone).ToLocal(msg.start_time));
}

qv_filetime EventDayStart(const qv_message &msg, qv_filetime utc, const RecurrenceZone &zone)
{
    const EventLocal local_zone = EventLocal(msg, zone);
    if (!local_zone.known)
        return LocalDayStart(utc, zone.session_bias, zone.session_dst_offset);
    const qv_filetime local = local_zone.ToLocal(utc);
    return local_zone.ToUtc(local - local % kTicksPerDay);
}

std::string RecurrenceXml(qv_message &msg, const RecurrenceZone &zone)
{
    const Pattern pattern = PatternOf(msg);
    if (pattern.lines.empty())
        return {};
    if (msg.recur_count > pattern.cap)
        msg.recur_count = pattern.cap;
    return "<t:Recurrence>\n" + pattern.lines + RangeOf(msg, SeriesStartDate(msg, zone)) +
           "</t:Recurrence>\n" + ZoneElements(msg, zone.session_zone_name, zone.server_major_version);
}

} // namespace qvamz::calendar
