// calendar_rules.cpp - a calendar record's zone and recurrence in iCalendar
// terms: VTIMEZONE components generated from ICU's zone rules, RRULE values
// built through libical's recurrence type, and occurrence counts from
// libical's recurrence iterator.  No daylight saving dates are kept here.
#include <libical/ical.h>
#include <unicode/basictz.h>
#include <unicode/calendar.h>
#include <unicode/vtzone.h>

#include <algorithm>
#include <climits>
#include <ctime>
#include <memory>
#include <string>
#include <tuple>

#include "c_buffer.hpp"
#include "common/civil_date.hpp"
#include "qv/qvcom.h"
#include "zone_lookup.hpp"

using namespace qvcom::detail;

namespace {

constexpr qv_filetime kTicksPerSecond = 10'000'000;
constexpr double kMillisPerDay = 86'400'000.0;
constexpr int kMaxOccurrences = 100'000;
constexpr int kLastWeek = 5; // recur_week_index of "Last"

// Wall-clock fields of a time, in some zone.
struct Civil {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    auto date() const { return std::tie(year, month, day); }
};

Civil civil_of_unix(std::int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

std::int64_t unix_of_civil(const Civil &c) {
    return qvcommon::DaysFromCivil(c.year, c.month, c.day) * 86'400 + c.hour * 3'600 +
           c.minute * 60 + c.second;
}

// The wall clock of UTC instant `utc` in `zone`.
Civil local_civil(const icu::TimeZone &zone, qv_filetime utc) {
    const std::int64_t seconds = com_FileTimeToUnix(utc);
    int32_t raw = 0, dst = 0;
    UErrorCode status = U_ZERO_ERROR;
    zone.getOffset(static_cast<UDate>(seconds) * 1000.0, false, raw, dst, status);
    return civil_of_unix(seconds + (U_SUCCESS(status) ? (raw + dst) / 1000 : 0));
}

// The UTC instant (Unix seconds) of wall-clock time `local` in `zone`.
std::int64_t utc_of_local(const icu::TimeZone &zone, const Civil &local) {
    const std::int64_t seconds = unix_of_civil(local);
    int32_t raw = 0, dst = 0;
    UErrorCode status = U_ZERO_ERROR;
    zone.getOffset(static_cast<UDate>(seconds) * 1000.0, true, raw, dst, status);
    return seconds - (U_SUCCESS(status) ? (raw + dst) / 1000 : 0);
}

// The record's zone; the host's when the record names none ICU knows.
ZonePtr series_zone(const qv_message &msg) {
    if (ZonePtr zone = zone_named(view_of(msg.time_zone))) {
        return zone;
    }
    if (ZonePtr zone = zone_named(host_zone_id())) {
        return zone;
    }
    return ZonePtr(icu::TimeZone::getGMT()->clone());
}

// Dated entries (whole days) carry dates, not times.
bool is_dated(const qv_message &msg) {
    return msg.entry_type == 1 || msg.entry_type == 2 || msg.all_day != 0;
}

// Appends `value` to a libical BY* array that ends with
// ICAL_RECURRENCE_ARRAY_MAX.
template <std::size_t N> void append(short (&list)[N], int value) {
    for (std::size_t i = 0; i + 1 < N; ++i) {
        if (list[i] == ICAL_RECURRENCE_ARRAY_MAX) {
            list[i] = static_cast<short>(value);
            return;
        }
    }
}

// BYDAY entries of a day mask (bit 1 Sunday ... 64 Saturday), libical
// numbering Sunday 1 ... Saturday 7.
void add_days(icalrecurrencetype &rule, int mask) {
    for (int day = 0; day < 7; ++day) {
        if ((mask & (1 << day)) != 0) {
            append(rule.by_day, day + 1);
        }
    }
}

// "The n-th of these days": BYSETPOS picks within each month.
void add_week_index(icalrecurrencetype &rule, int week_index) {
    append(rule.by_set_pos, week_index >= kLastWeek ? -1 : std::max(week_index, 1));
}

// A day of the month.  The server puts day 29 to 31 on the last day of a
// shorter month; `server_days` says so in the rule (the latest of day 28
// up to `day`), for counting what the server will make.
void add_month_day(icalrecurrencetype &rule, int day, bool server_days) {
    day = std::clamp(day, 1, 31);
    if (!server_days || day < 29) {
        append(rule.by_month_day, day);
        return;
    }
    for (int d = 28; d <= day; ++d) {
        append(rule.by_month_day, d);
    }
    append(rule.by_set_pos, -1);
}

// The pattern and count of the record's series; freq stays
// ICAL_NO_RECURRENCE for a record that does not recur.
icalrecurrencetype rule_of(const qv_message &msg, bool server_days) {
    icalrecurrencetype rule;
    icalrecurrencetype_clear(&rule);
    const int interval = std::clamp(msg.recur_interval, 1, SHRT_MAX);
    const int month = std::clamp(msg.recur_month, 1, 12);
    switch (msg.recur_type) {
    case 1: // absolute yearly
        rule.freq = ICAL_YEARLY_RECURRENCE;
        append(rule.by_month, month);
        add_month_day(rule, msg.recur_day_of_month, server_days);
        break;
    case 2: // relative yearly
        rule.freq = ICAL_YEARLY_RECURRENCE;
        append(rule.by_month, month);
        add_days(rule, msg.recur_days);
        add_week_index(rule, msg.recur_week_index);
        break;
    case 3: // absolute monthly
        rule.freq = ICAL_MONTHLY_RECURRENCE;
        rule.interval = static_cast<short>(interval);
        add_month_day(rule, msg.recur_day_of_month, server_days);
        break;
    case 4: // relative monthly
        rule.freq = ICAL_MONTHLY_RECURRENCE;
        rule.interval = static_cast<short>(interval);
        add_days(rule, msg.recur_days);
        add_week_index(rule, msg.recur_week_index);
        break;
    case 5: // weekly
        rule.freq = ICAL_WEEKLY_RECURRENCE;
        rule.interval = static_cast<short>(interval);
        add_days(rule, msg.recur_days);
        break;
    case 6: // daily
        rule.freq = ICAL_DAILY_RECURRENCE;
        rule.interval = static_cast<short>(interval);
        break;
    case 7: // every weekday
        rule.freq = ICAL_WEEKLY_RECURRENCE;
        add_days(rule, 62);
        break;
    default:
        return rule;
    }
    if ((msg.recur_type == 1 || msg.recur_type == 2) && msg.recur_interval > 1) {
        rule.interval = static_cast<short>(interval);
    }
    if (msg.recur_range == 0 && msg.recur_count > 0) {
        rule.count = msg.recur_count;
    }
    return rule;
}

// The last day of an end-dated series.  Readers store the end date as the
// start of that day in UTC or in a zone west of it, other sources the
// start of the last occurrence; the later of its UTC and its local date is
// that day in every one of these forms.
Civil last_day(const icu::TimeZone &zone, qv_filetime recur_end) {
    const Civil utc = civil_of_unix(com_FileTimeToUnix(recur_end));
    const Civil local = local_civil(zone, recur_end);
    Civil day = local.date() < utc.date() ? utc : local;
    day.hour = day.minute = day.second = 0;
    return day;
}

icaltimetype ical_date(const Civil &c) {
    icaltimetype t = icaltime_null_date();
    t.year = c.year;
    t.month = c.month;
    t.day = c.day;
    return t;
}

icaltimetype ical_floating(const Civil &c) {
    icaltimetype t = icaltime_null_time();
    t.year = c.year;
    t.month = c.month;
    t.day = c.day;
    t.hour = c.hour;
    t.minute = c.minute;
    t.second = c.second;
    return t;
}

bool ends_on_date(const qv_message &msg) {
    return msg.recur_range == 1 && msg.recur_end != 0;
}

struct IterDeleter {
    void operator()(icalrecur_iterator *it) const { icalrecur_iterator_free(it); }
};

std::string rrule_text(icalrecurrencetype &rule) {
    char *text = icalrecurrencetype_as_string_r(&rule);
    std::string out = text != nullptr ? text : "";
    icalmemory_free_buffer(text);
    return out;
}

bool write_vtimezone(icu::VTimeZone &vtz, UDate from, bool simple, char *out, size_t out_size) {
    icu::UnicodeString text;
    UErrorCode status = U_ZERO_ERROR;
    if (simple) {
        vtz.writeSimple(from, text, status);
    } else {
        vtz.write(from, text, status);
    }
    std::string utf8;
    text.toUTF8String(utf8);
    return U_SUCCESS(status) && !utf8.empty() && copy_to_buffer(utf8, out, out_size);
}

} // namespace

extern "C" {

QVCOM_API int com_GetVTimeZone(const char *zone_name, qv_filetime from, char *vtimezone,
                               size_t vtimezone_size, char *tzid, size_t tzid_size) {
    copy_to_buffer("", vtimezone, vtimezone_size);
    copy_to_buffer("", tzid, tzid_size);
    const ZonePtr zone = zone_named(view_of(zone_name));
    const auto *basic = dynamic_cast<const icu::BasicTimeZone *>(zone.get());
    if (basic == nullptr) {
        return 0;
    }
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::VTimeZone> vtz(
        icu::VTimeZone::createVTimeZoneFromBasicTimeZone(*basic, status));
    if (U_FAILURE(status) || !vtz) {
        return 0;
    }
    const UDate at = from != 0 ? static_cast<UDate>(com_FileTimeToUnix(from)) * 1000.0
                               : icu::Calendar::getNow();
    // Start the observances a year early, so that the first one begins
    // before `from` rather than at the first change after it.
    const UDate since = at - 366 * kMillisPerDay;
    icu::UnicodeString id;
    zone->getID(id);
    std::string id_utf8;
    id.toUTF8String(id_utf8);
    const bool written = write_vtimezone(*vtz, since, false, vtimezone, vtimezone_size) ||
                         write_vtimezone(*vtz, since, true, vtimezone, vtimezone_size);
    if (!written || !copy_to_buffer(id_utf8, tzid, tzid_size)) {
        copy_to_buffer("", vtimezone, vtimezone_size);
        copy_to_buffer("", tzid, tzid_size);
        return 0;
    }
    return 1;
}

QVCOM_API int com_Genrrule(const qv_message *msg, char *out, size_t out_size) {
    copy_to_buffer("", out, out_size);
    if (msg == nullptr) {
        return 0;
    }
    icalrecurrencetype rule = rule_of(*msg, false);
    if (rule.freq == ICAL_NO_RECURRENCE) {
        return 0;
    }
    if (ends_on_date(*msg)) {
        const ZonePtr zone = series_zone(*msg);
        Civil day = last_day(*zone, msg->recur_end);
        if (is_dated(*msg)) {
            rule.until = ical_date(day);
        } else {
            day.hour = 23;
            day.minute = day.second = 59;
            rule.until = icaltime_from_timet_with_zone(
                static_cast<time_t>(utc_of_local(*zone, day)), 0,
                icaltimezone_get_utc_timezone());
        }
    }
    return copy_to_buffer(rrule_text(rule), out, out_size) ? 1 : 0;
}

QVCOM_API int com_ExpandRecur(const qv_message *msg, int reserved1, int reserved2,
                              int32_t *count, int start_weekday, const char *work_dir) {
    (void)reserved1, (void)reserved2, (void)start_weekday, (void)work_dir;
    if (count != nullptr) {
        *count = 0;
    }
    if (msg == nullptr || count == nullptr || msg->start_time == 0) {
        return 0;
    }
    icalrecurrencetype rule = rule_of(*msg, true);
    if (rule.freq == ICAL_NO_RECURRENCE || (rule.count == 0 && !ends_on_date(*msg))) {
        return 0;
    }
    // Counted on the zone's wall clock, where the pattern lives.
    const ZonePtr zone = series_zone(*msg);
    const Civil first = local_civil(*zone, msg->start_time);
    const bool dated = is_dated(*msg);
    if (ends_on_date(*msg)) {
        Civil day = last_day(*zone, msg->recur_end);
        day.hour = 23;
        day.minute = day.second = 59;
        rule.until = dated ? ical_date(day) : ical_floating(day);
    }
    std::unique_ptr<icalrecur_iterator, IterDeleter> it(
        icalrecur_iterator_new(rule, dated ? ical_date(first) : ical_floating(first)));
    if (!it) {
        return 0;
    }
    int32_t n = 0;
    while (n < kMaxOccurrences && !icaltime_is_null_time(icalrecur_iterator_next(it.get()))) {
        ++n;
    }
    *count = n;
    return 1;
}

} // extern "C"
