#include "calendar_zone.hpp"

#include <unicode/basictz.h>
#include <unicode/dtrule.h>
#include <unicode/gregocal.h>
#include <unicode/timezone.h>
#include <unicode/tzrule.h>

#include <cstdio>
#include <memory>

namespace sandbox {

namespace {

std::unique_ptr<icu::TimeZone> utc_zone() {
    return std::unique_ptr<icu::TimeZone>(icu::TimeZone::createTimeZone("Etc/UTC"));
}

// nullptr for an id ICU does not map.
std::unique_ptr<icu::TimeZone> zone_of(const std::string &windows_id) {
    if (windows_id.empty() || windows_id == "UTC") return utc_zone();
    icu::UnicodeString tz_name;
    UErrorCode status = U_ZERO_ERROR;
    icu::TimeZone::getIDForWindowsID(icu::UnicodeString::fromUTF8(windows_id), nullptr, tz_name, status);
    if (U_FAILURE(status) || tz_name.isEmpty()) return nullptr;
    return std::unique_ptr<icu::TimeZone>(icu::TimeZone::createTimeZone(tz_name));
}

std::unique_ptr<icu::GregorianCalendar> calendar_in(const std::string &windows_id) {
    auto zone = zone_of(windows_id);
    if (!zone) zone = utc_zone();
    UErrorCode status = U_ZERO_ERROR;
    auto cal = std::make_unique<icu::GregorianCalendar>(zone.release(), status);
    cal->setRepeatedWallTimeOption(UCAL_WALLTIME_FIRST);
    cal->setSkippedWallTimeOption(UCAL_WALLTIME_LAST);
    return cal;
}

// xs:duration of a number of minutes: "PT5H", "-PT1H", "PT5H30M", "PT0M".
std::string duration(int minutes) {
    std::string out = minutes < 0 ? "-PT" : "PT";
    int m = minutes < 0 ? -minutes : minutes;
    if (m / 60) out += std::to_string(m / 60) + "H";
    if (m % 60 || m == 0) out += std::to_string(m % 60) + "M";
    return out;
}

const char *kDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
const char *kMonths[] = {"January", "February", "March", "April", "May", "June", "July",
                         "August", "September", "October", "November", "December"};
const char *kWeeks[] = {"First", "Second", "Third", "Fourth", "Last"};

// One change of an annual rule as EWS states it: the weekday's position
// in its month, and the wall-clock time the change happens at, read on
// the clock that runs before it (`saving_before` minutes of daylight).
void write_change(XmlOut &out, const char *element, int offset_minutes,
                  const icu::AnnualTimeZoneRule &rule, int raw_minutes, int saving_before) {
    const icu::DateTimeRule *r = rule.getRule();
    int index = 1;
    int dom = r->getRuleDayOfMonth();
    switch (r->getDateRuleType()) {
    case icu::DateTimeRule::DOW:
        index = r->getRuleWeekInMonth() < 0 ? 5 : r->getRuleWeekInMonth();
        break;
    case icu::DateTimeRule::DOW_GEQ_DOM: index = (dom - 1) / 7 + 1; break;
    case icu::DateTimeRule::DOW_LEQ_DOM: index = dom >= 28 ? 5 : (dom - 7) / 7 + 1; break;
    default: index = (dom - 1) / 7 + 1; break;
    }
    index = std::max(1, std::min(index, 5));
    int day_of_week = r->getDateRuleType() == icu::DateTimeRule::DOM ? 1 : r->getRuleDayOfWeek();
    int minutes = r->getRuleMillisInDay() / 60000;
    if (r->getTimeRuleType() == icu::DateTimeRule::UTC_TIME) minutes += raw_minutes + saving_before;
    else if (r->getTimeRuleType() == icu::DateTimeRule::STANDARD_TIME) minutes += saving_before;
    minutes = ((minutes % 1440) + 1440) % 1440;
    char time[16];
    std::snprintf(time, sizeof time, "%02d:%02d:00", minutes / 60, minutes % 60);
    out.open(element).leaf("t:Offset", duration(offset_minutes));
    out.open("t:RelativeYearlyRecurrence")
        .leaf("t:DaysOfWeek", kDays[std::max(1, std::min(day_of_week, 7)) - 1])
        .leaf("t:DayOfWeekIndex", kWeeks[index - 1])
        .leaf("t:Month", kMonths[std::max(0, std::min(r->getRuleMonth(), 11))])
        .close();
    out.leaf("t:Time", time).close();
}

} // namespace

bool known_windows_zone(const std::string &windows_id) { return zone_of(windows_id) != nullptr; }

std::string windows_zone_for(const std::string &tz_name) {
    icu::UnicodeString win;
    UErrorCode status = U_ZERO_ERROR;
    icu::TimeZone::getWindowsID(icu::UnicodeString::fromUTF8(tz_name), win, status);
    std::string out;
    if (U_SUCCESS(status)) win.toUTF8String(out);
    return out;
}

struct ZoneClock::Calendar {
    std::unique_ptr<icu::GregorianCalendar> cal;
};

ZoneClock::ZoneClock(const std::string &windows_id)
    : calendar_(std::make_unique<Calendar>(Calendar{calendar_in(windows_id)})) {}

ZoneClock::~ZoneClock() = default;

UnixTime ZoneClock::to_utc(const LocalTime &t) {
    icu::GregorianCalendar *cal = calendar_->cal.get();
    cal->clear();
    cal->set(t.year, t.month - 1, t.day, t.hour, t.minute, t.second);
    UErrorCode status = U_ZERO_ERROR;
    return static_cast<UnixTime>(cal->getTime(status) / 1000);
}

LocalTime ZoneClock::to_local(UnixTime t) {
    icu::GregorianCalendar *cal = calendar_->cal.get();
    UErrorCode status = U_ZERO_ERROR;
    cal->setTime(static_cast<UDate>(t) * 1000.0, status);
    LocalTime l;
    l.year = cal->get(UCAL_YEAR, status);
    l.month = cal->get(UCAL_MONTH, status) + 1;
    l.day = cal->get(UCAL_DATE, status);
    l.hour = cal->get(UCAL_HOUR_OF_DAY, status);
    l.minute = cal->get(UCAL_MINUTE, status);
    l.second = cal->get(UCAL_SECOND, status);
    return l;
}

UnixTime local_to_utc(const std::string &windows_id, const LocalTime &t) {
    return ZoneClock(windows_id).to_utc(t);
}

LocalTime utc_to_local(const std::string &windows_id, UnixTime t) {
    return ZoneClock(windows_id).to_local(t);
}

int utc_offset_minutes(const std::string &windows_id, UnixTime t) {
    auto zone = zone_of(windows_id);
    if (!zone) return 0;
    std::int32_t raw = 0, dst = 0;
    UErrorCode status = U_ZERO_ERROR;
    zone->getOffset(static_cast<UDate>(t) * 1000.0, false, raw, dst, status);
    return (raw + dst) / 60000;
}

void write_meeting_time_zone(XmlOut &out, const std::string &windows_id, UnixTime near) {
    out.open("t:MeetingTimeZone").attr("TimeZoneName", windows_id.empty() ? "UTC" : windows_id);
    auto zone = zone_of(windows_id);
    auto *basic = dynamic_cast<icu::BasicTimeZone *>(zone.get());
    icu::InitialTimeZoneRule *initial = nullptr;
    icu::AnnualTimeZoneRule *standard = nullptr, *daylight = nullptr;
    UErrorCode status = U_ZERO_ERROR;
    if (basic) basic->getSimpleRulesNear(static_cast<UDate>(near) * 1000.0, initial, standard, daylight, status);
    std::unique_ptr<icu::TimeZoneRule> own_initial(initial), own_standard(standard), own_daylight(daylight);
    int raw = zone ? zone->getRawOffset() / 60000 : 0;
    out.leaf("t:BaseOffset", duration(-raw));
    if (U_SUCCESS(status) && standard && daylight) {
        int saving = daylight->getDSTSavings() / 60000;
        write_change(out, "t:Standard", 0, *standard, raw, saving);
        write_change(out, "t:Daylight", -saving, *daylight, raw, 0);
    }
    out.close();
}

void write_zone_definition(XmlOut &out, const char *element, const std::string &windows_id) {
    out.open(element).attr("Id", windows_id.empty() ? "UTC" : windows_id).close();
}

std::string format_local_date(const LocalTime &t) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", t.year, t.month, t.day);
    return buf;
}

std::optional<LocalTime> parse_local_date(const std::string &text) {
    LocalTime t;
    char tail = 0;
    // xs:date may carry a zone ("2024-03-05Z", "2024-03-05-05:00"); the day is what counts.
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &t.year, &t.month, &t.day, &tail) < 3) return std::nullopt;
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31) return std::nullopt;
    return t;
}

} // namespace sandbox
