// compare_calendar.cpp - the demo check for calendars (see compare_calendar.hpp).
#include "compare_calendar.hpp"

#include <libical/ical.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <iterator>
#include <map>
#include <memory>

#include "folder_list.hpp"
#include "host_environment.hpp"
#include "qv/qvcom.h"

namespace qvmigrate {

namespace {

constexpr int kOccurrencesMax = 40'000; // a daily series over a century at most
constexpr std::size_t kDifferencesShown = 40;
constexpr const char *kDayCodes[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
constexpr int kWeekdayMask = 62;

// A zone's offsets, as the connector's zone routines know them (tz
// database or Windows id); UTC for an empty or unknown name.
struct Zone {
    std::string name;
    std::int32_t bias = 0, daylight_bias = 0, has_daylight = 0;

    explicit Zone(const char *zone_name) : name(zone_name) {
        if (name.empty() || !com_GetTZInfo(name.c_str(), &bias, &daylight_bias, &has_daylight, 0))
            bias = daylight_bias = has_daylight = 0;
    }
    bool dst_at_local(qv_filetime local) const {
        std::int32_t known = 0;
        return has_daylight && com_TZDateIsDST(local, name.c_str(), daylight_bias, &known) && known;
    }
    qv_filetime to_local(qv_filetime utc) const {
        qv_filetime local = utc;
        com_OffsetFileTimeVal(&local, -bias);
        if (dst_at_local(local))
            com_OffsetFileTimeVal(&local, -daylight_bias);
        return local;
    }
    qv_filetime to_utc(qv_filetime local) const {
        qv_filetime utc = local;
        com_OffsetFileTimeVal(&utc, bias + (dst_at_local(local) ? daylight_bias : 0));
        return utc;
    }
};

icaltimetype floating(qv_filetime local) {
    return icaltime_from_timet_with_zone(static_cast<time_t>(com_FileTimeToUnix(local)), 0, nullptr);
}

qv_filetime from_floating(const icaltimetype &t) {
    return com_UnixToFileTime(static_cast<std::int64_t>(icaltime_as_timet(t)));
}

std::string by_day(int mask, int week_index) {
    std::string days;
    for (int bit = 0; bit < 7; ++bit)
        if (mask & (1 << bit))
            days += std::string(days.empty() ? "" : ",") + kDayCodes[bit];
    if (days.empty())
        return {};
    std::string rule = ";BYDAY=" + days;
    if (week_index >= 1 && week_index <= 5)
        rule += ";BYSETPOS=" + std::to_string(week_index == 5 ? -1 : week_index);
    return rule;
}

// The record's pattern and range as an RRULE in the series' local time;
// "" when the record names no pattern.
std::string rrule_of(const qv_message &r) {
    const std::string interval = ";INTERVAL=" + std::to_string(std::max(1, static_cast<int>(r.recur_interval)));
    std::string rule;
    switch (r.recur_type) {
    case 1: rule = "FREQ=YEARLY;BYMONTH=" + std::to_string(r.recur_month) +
                   ";BYMONTHDAY=" + std::to_string(r.recur_day_of_month); break;
    case 2: rule = "FREQ=YEARLY;BYMONTH=" + std::to_string(r.recur_month) +
                   by_day(r.recur_days, r.recur_week_index); break;
    case 3: rule = "FREQ=MONTHLY" + interval + ";BYMONTHDAY=" + std::to_string(r.recur_day_of_month); break;
    case 4: rule = "FREQ=MONTHLY" + interval + by_day(r.recur_days, r.recur_week_index); break;
    case 5: rule = "FREQ=WEEKLY" + interval + ";WKST=SU" + by_day(r.recur_days, 0); break;
    case 6: rule = "FREQ=DAILY" + interval; break;
    case 7: rule = "FREQ=WEEKLY;WKST=SU" + by_day(kWeekdayMask, 0); break;
    default: return {};
    }
    if (r.recur_range == 0 && r.recur_count > 0) {
        rule += ";COUNT=" + std::to_string(r.recur_count);
    } else if (r.recur_range == 1 && r.recur_end != 0) {
        // The last day of the series, to its end, in the series' zone.
        const icaltimetype last = floating(r.recur_end);
        char until[32];
        std::snprintf(until, sizeof until, ";UNTIL=%04d%02d%02dT235959", last.year, last.month, last.day);
        rule += until;
    }
    return rule;
}

std::string attendees_of(const qv_message &r) {
    std::vector<std::string> addresses;
    for (int i = 0; i < r.recipient_count && i < QV_MAX_RECIPIENTS; ++i) {
        const qv_recipient *p = r.recipients[i];
        if (!p || p->kind == QV_RECIP_ORGANIZER)
            continue;
        std::string address = p->address;
        std::transform(address.begin(), address.end(), address.begin(), [](unsigned char c) { return std::tolower(c); });
        addresses.push_back(address);
    }
    std::sort(addresses.begin(), addresses.end());
    std::string joined;
    for (const std::string &a : addresses)
        joined += (joined.empty() ? "" : ", ") + a;
    return joined;
}

// Series occurrences as UTC starts, before the breakouts.
std::vector<qv_filetime> series_starts(const qv_message &r, const Zone &zone, qv_filetime to) {
    const std::string rule = rrule_of(r);
    if (rule.empty())
        return {r.start_time};
    struct icalrecurrencetype recurrence = icalrecurrencetype_from_string(rule.c_str());
    std::unique_ptr<icalrecur_iterator, void (*)(icalrecur_iterator *)> it(
        icalrecur_iterator_new(recurrence, floating(zone.to_local(r.start_time))), icalrecur_iterator_free);
    std::vector<qv_filetime> starts;
    if (!it)
        return starts;
    for (int n = 0; n < kOccurrencesMax; ++n) {
        const icaltimetype next = icalrecur_iterator_next(it.get());
        if (icaltime_is_null_time(next))
            break;
        const qv_filetime utc = zone.to_utc(from_floating(next));
        if (utc >= to)
            break;
        starts.push_back(utc);
    }
    return starts;
}

std::string folder_key(const ArchiveFolder &f) { return f.path; }

struct RecordDeleter {
    void operator()(qv_message *msg) const {
        com_ResetObject(msg);
        delete msg;
    }
};

// Every occurrence of the archive's calendar folders, by folder path; the
// number of series alongside.
struct CalendarContent {
    std::map<std::string, std::vector<CalendarOccurrence>> occurrences;
    std::map<std::string, int> series;
};

// `source`: attendees count only for meetings the mailbox organized; the
// connector writes no attendee list for someone else's meeting (unless
// "/D211"), so the target shows none there.
CalendarContent read_calendars(const ArchiveReader &archive, const std::string &work_dir, qv_filetime from,
                               qv_filetime to, bool source) {
    CalendarContent content;
    std::unique_ptr<qv_message, RecordDeleter> record(new qv_message{});
    for (const ArchiveFolder &folder : archive.manifest().folders) {
        if (folder.folder_type != 2)
            continue;
        auto &list = content.occurrences[folder_key(folder)];
        int &series = content.series[folder_key(folder)];
        for (int sequence = 1; sequence <= folder.items; ++sequence) {
            com_Deallocate_All(record.get(), work_dir.c_str());
            com_ResetObject(record.get());
            record->msg_number = 1;
            archive.read_item(folder, sequence, *record, work_dir);
            series += record->recur_type != 0 ? 1 : 0;
            const bool with_attendees = !source || record->user_is_organizer != 0;
            for (CalendarOccurrence &o : expand_calendar_record(*record, from, to)) {
                if (!with_attendees)
                    o.attendees.clear();
                list.push_back(std::move(o));
            }
        }
        std::sort(list.begin(), list.end());
    }
    com_Deallocate_All(record.get(), work_dir.c_str());
    return content;
}

std::string describe(const CalendarOccurrence &o) {
    const std::time_t start = static_cast<std::time_t>(com_FileTimeToUnix(o.start));
    const std::time_t end = static_cast<std::time_t>(com_FileTimeToUnix(o.end));
    char from[32], until[32];
    std::strftime(from, sizeof from, "%Y-%m-%d %H:%M", std::gmtime(&start));
    std::strftime(until, sizeof until, "%Y-%m-%d %H:%M", std::gmtime(&end));
    return "\"" + o.subject + "\" " + from + " to " + until + " UTC" + (o.all_day ? " all day" : "") +
           (o.location.empty() ? "" : " at \"" + o.location + "\"") +
           (o.attendees.empty() ? "" : " with " + o.attendees);
}

qv_filetime year_start(qv_filetime date) {
    const std::time_t t = static_cast<std::time_t>(com_FileTimeToUnix(date));
    std::tm day = *std::gmtime(&t);
    day.tm_mon = 0;
    day.tm_mday = 1;
    day.tm_hour = day.tm_min = day.tm_sec = 0;
    return com_UnixToFileTime(static_cast<std::int64_t>(timegm(&day)));
}

// The first year holding a source event, and the two after it.
std::pair<qv_filetime, qv_filetime> check_window(const ArchiveReader &source, const std::string &work_dir) {
    qv_filetime first = 0;
    std::unique_ptr<qv_message, RecordDeleter> record(new qv_message{});
    for (const ArchiveFolder &folder : source.manifest().folders) {
        for (int sequence = 1; folder.folder_type == 2 && sequence <= folder.items; ++sequence) {
            com_Deallocate_All(record.get(), work_dir.c_str());
            com_ResetObject(record.get());
            record->msg_number = 1;
            source.read_item(folder, sequence, *record, work_dir);
            if (record->start_time != 0 && (first == 0 || record->start_time < first))
                first = record->start_time;
        }
    }
    com_Deallocate_All(record.get(), work_dir.c_str());
    const qv_filetime from = year_start(first == 0 ? com_FileTimeNow() : first);
    qv_filetime to = from;
    com_OffsetFileTimeVal(&to, kCalendarCheckYears * 366 * 24 * 60);
    return {from, year_start(to)};
}

} // namespace

std::vector<CalendarOccurrence> expand_calendar_record(const qv_message &r, qv_filetime from, qv_filetime to) {
    const Zone zone(r.time_zone);
    const qv_filetime length = r.end_time > r.start_time ? r.end_time - r.start_time : 0;
    CalendarOccurrence base;
    base.subject = r.title;
    base.location = r.location;
    base.all_day = r.all_day != 0;
    base.attendees = attendees_of(r);
    std::vector<CalendarOccurrence> out;
    for (const qv_filetime start : series_starts(r, zone, to)) {
        CalendarOccurrence o = base;
        o.start = start;
        o.end = start + length;
        bool deleted = false;
        for (int i = 0; r.recur_type != 0 && i < r.breakout_count && i < QV_MAX_BREAKOUTS; ++i) {
            const qv_breakout *b = r.breakouts[i];
            if (!b || b->original_start != start)
                continue;
            deleted = b->kind == 1;
            if (b->kind == 0) {
                o.start = b->start;
                o.end = b->end;
                if (b->subject[0] != '\0')
                    o.subject = b->subject;
                if (b->location[0] != '\0')
                    o.location = b->location;
            }
        }
        if (!deleted && o.start >= from && o.start < to)
            out.push_back(std::move(o));
    }
    return out;
}

std::vector<std::string> compare_calendar_archives(const ArchiveReader &source, const ArchiveReader &target,
                                                   const std::string &work_dir) {
    const auto [from, to] = check_window(source, work_dir);
    const CalendarContent a = read_calendars(source, work_dir, from, to, true);
    const CalendarContent b = read_calendars(target, work_dir, from, to, false);
    std::vector<std::string> out;
    for (const auto &[path, list] : a.occurrences) {
        const auto it = b.occurrences.find(path);
        if (it == b.occurrences.end()) {
            out.push_back("calendar " + path + " is missing in the target");
            continue;
        }
        std::vector<CalendarOccurrence> missing, extra;
        std::set_difference(list.begin(), list.end(), it->second.begin(), it->second.end(), std::back_inserter(missing));
        std::set_difference(it->second.begin(), it->second.end(), list.begin(), list.end(), std::back_inserter(extra));
        for (const CalendarOccurrence &o : missing)
            out.push_back("calendar " + path + ": occurrence " + describe(o) + " missing in the target");
        for (const CalendarOccurrence &o : extra)
            out.push_back("calendar " + path + ": occurrence " + describe(o) + " only in the target");
        const int series_a = a.series.at(path), series_b = b.series.count(path) ? b.series.at(path) : 0;
        if (series_a != series_b)
            out.push_back("calendar " + path + " holds " + std::to_string(series_b) + " recurring series in the target, " +
                          std::to_string(series_a) + " in the source");
    }
    if (out.size() > kDifferencesShown) {
        const std::size_t more = out.size() - kDifferencesShown;
        out.resize(kDifferencesShown);
        out.push_back("... and " + std::to_string(more) + " more calendar differences");
    }
    return out;
}

std::vector<std::string> compare_calendars(HostEnvironment &env, const JobSettings &settings,
                                           const Connection &source, const Credentials &source_credentials,
                                           const Connection &target, const Credentials &target_credentials,
                                           const std::filesystem::path &dir) {
    JobSettings calendars = settings;
    calendars.kind_filter = *kind_filter_from_name("calendar");
    calendars.skipped_kinds.clear();
    calendars.progress = nullptr;
    std::filesystem::create_directories(dir);
    const JobSummary read_source = run_export(env, calendars, source, source_credentials, dir / "source");
    const JobSummary read_target = run_export(env, calendars, target, target_credentials, dir / "target");
    std::vector<std::string> out;
    for (const JobSummary *read : {&read_source, &read_target})
        if (!read->error.empty() || read->totals().failed > 0)
            out.push_back("the calendars of " + (read == &read_source ? source.user : target.user) +
                          " could not all be read back" + (read->error.empty() ? "" : ": " + read->error));
    const std::string work = env.work_prefix();
    for (std::string &difference :
         compare_calendar_archives(ArchiveReader(dir / "source"), ArchiveReader(dir / "target"), work))
        out.push_back(std::move(difference));
    return out;
}

} // namespace qvmigrate
