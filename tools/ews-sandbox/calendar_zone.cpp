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

// One change of an annual rule: the weekday's position in its month, and
// the wall-clock time it happens at, read on the clock that runs before
// it (`saving_before` minutes of daylight).
struct ChangeRule {
    int day_of_week = 1; // 1 Sunday ... 7 Saturday
    int index = 1;       // 1 ... 4, 5 the last
    int month = 1;       // 1 ... 12
    int minutes = 0;     // of the day, local wall clock
};

ChangeRule change_rule(const icu::AnnualTimeZoneRule &rule, int raw_minutes, int saving_before) {
    const icu::DateTimeRule *r = rule.getRule();
    ChangeRule c;
    int dom = r->getRuleDayOfMonth();
    switch (r->getDateRuleType()) {
    case icu::DateTimeRule::DOW:
        c.index = r->getRuleWeekInMonth() < 0 ? 5 : r->getRuleWeekInMonth();
        break;
    case icu::DateTimeRule::DOW_GEQ_DOM: c.index = (dom - 1) / 7 + 1; break;
    case icu::DateTimeRule::DOW_LEQ_DOM: c.index = dom >= 28 ? 5 : (dom - 7) / 7 + 1; break;
    default: c.index = (dom - 1) / 7 + 1; break;
    }
    c.index = std::max(1, std::min(c.index, 5));
    c.day_of_week = r->getDateRuleType() == icu::DateTimeRule::DOM ? 1 : r->getRuleDayOfWeek();
    c.day_of_week = std::max(1, std::min(c.day_of_week, 7));
    c.month = std::max(0, std::min(r->getRuleMonth(), 11)) + 1;
    int minutes = r->getRuleMillisInDay() / 60000;
    if (r->getTimeRuleType() == icu::DateTimeRule::UTC_TIME) minutes += raw_minutes + saving_before;
    else if (r->getTimeRuleType() == icu::DateTimeRule::STANDARD_TIME) minutes += saving_before;
    c.minutes = ((minutes % 1440) + 1440) % 1440;
    return c;
}

// The zone's offset and, when it keeps daylight saving time, its two
// changes in the year around `near`.
struct ZoneRules {
    int raw_minutes = 0; // east positive
    int saving_minutes = 0;
    std::optional<ChangeRule> to_standard, to_daylight;
};

ZoneRules rules_near(const std::string &windows_id, UnixTime near) {
    ZoneRules z;
    auto zone = zone_of(windows_id);
    if (!zone) return z;
    z.raw_minutes = zone->getRawOffset() / 60000;
    auto *basic = dynamic_cast<icu::BasicTimeZone *>(zone.get());
    icu::InitialTimeZoneRule *initial = nullptr;
    icu::AnnualTimeZoneRule *standard = nullptr, *daylight = nullptr;
    UErrorCode status = U_ZERO_ERROR;
    if (basic) basic->getSimpleRulesNear(static_cast<UDate>(near) * 1000.0, initial, standard, daylight, status);
    std::unique_ptr<icu::TimeZoneRule> own_initial(initial), own_standard(standard), own_daylight(daylight);
    if (U_SUCCESS(status) && standard && daylight) {
        z.saving_minutes = daylight->getDSTSavings() / 60000;
        z.to_standard = change_rule(*standard, z.raw_minutes, z.saving_minutes);
        z.to_daylight = change_rule(*daylight, z.raw_minutes, 0);
    }
    return z;
}

std::string clock_text(int minutes) {
    char time[32];
    std::snprintf(time, sizeof time, "%02d:%02d:00", minutes / 60 % 24, minutes % 60);
    return time;
}

void write_change(XmlOut &out, const char *element, int offset_minutes, const ChangeRule &c) {
    out.open(element).leaf("t:Offset", duration(offset_minutes));
    out.open("t:RelativeYearlyRecurrence")
        .leaf("t:DaysOfWeek", kDays[c.day_of_week - 1])
        .leaf("t:DayOfWeekIndex", kWeeks[c.index - 1])
        .leaf("t:Month", kMonths[c.month - 1])
        .close();
    out.leaf("t:Time", clock_text(c.minutes)).close();
}

void write_day_transition(XmlOut &out, const char *to, const ChangeRule &c) {
    out.open("t:RecurringDayTransition");
    out.open("t:To").attr("Kind", "Period").text(to).close();
    out.leaf("t:TimeOffset", duration(c.minutes)).leaf("t:Month", c.month);
    out.leaf("t:DayOfWeek", kDays[c.day_of_week - 1]).leaf("t:Occurrence", c.index == 5 ? -1 : c.index);
    out.close();
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
    const ZoneRules z = rules_near(windows_id, near);
    out.leaf("t:BaseOffset", duration(-z.raw_minutes));
    if (z.to_standard && z.to_daylight) {
        write_change(out, "t:Standard", 0, *z.to_standard);
        write_change(out, "t:Daylight", -z.saving_minutes, *z.to_daylight);
    }
    out.close();
}

void write_zone_definition(XmlOut &out, const char *element, const std::string &windows_id, UnixTime near) {
    const std::string id = windows_id.empty() ? "UTC" : windows_id;
    const ZoneRules z = rules_near(windows_id, near);
    out.open(element).attr("Id", id).attr("Name", id);
    out.open("t:Periods");
    out.open("t:Period").attr("Bias", duration(-z.raw_minutes)).attr("Name", "Standard").attr("Id", "Std").close();
    if (z.to_daylight)
        out.open("t:Period").attr("Bias", duration(-z.raw_minutes - z.saving_minutes)).attr("Name", "Daylight")
            .attr("Id", "Dlt").close();
    out.close();
    out.open("t:TransitionsGroups").open("t:TransitionsGroup").attr("Id", "0");
    if (z.to_daylight && z.to_standard) {
        write_day_transition(out, "Dlt", *z.to_daylight);
        write_day_transition(out, "Std", *z.to_standard);
    } else {
        out.open("t:Transition").open("t:To").attr("Kind", "Period").text("Std").close().close();
    }
    out.close().close();
    out.open("t:Transitions").open("t:Transition").open("t:To").attr("Kind", "Group").text("0").close().close()
        .close();
    out.close();
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
