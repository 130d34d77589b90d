// The TZID of an iCalendar time mapped to the Windows zone ids the
// calendar model keeps.  Clients name zones in three ways: by a Windows id
// (as Exchange writes them), by a tz database name, often behind a vendor
// prefix, or only by a VTIMEZONE of their own making with a free-form
// name; the last ones are matched to a Windows zone by their offsets.
#include <unicode/strenum.h>
#include <unicode/timezone.h>
#include <unicode/vtzone.h>

#include <memory>
#include <set>
#include <vector>

#include "calendar_ical.hpp"
#include "calendar_zone.hpp"

namespace sandbox {

namespace {

// Every Windows id ICU maps a tz database name to, in sorted order, so a
// VTIMEZONE that fits several equal zones always gets the same one.
const std::set<std::string> &windows_ids() {
    static const std::set<std::string> ids = [] {
        std::set<std::string> out;
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::StringEnumeration> names(
            icu::TimeZone::createTimeZoneIDEnumeration(UCAL_ZONE_TYPE_CANONICAL, nullptr, nullptr, status));
        for (const icu::UnicodeString *n = names ? names->snext(status) : nullptr; n && U_SUCCESS(status);
             n = names->snext(status)) {
            std::string tz;
            n->toUTF8String(tz);
            if (std::string win = windows_zone_for(tz); !win.empty()) out.insert(win);
        }
        return out;
    }();
    return ids;
}

// A Windows id or a tz database name, possibly after a prefix of path
// segments: each tail of the TZID after a '/' is tried in turn.
std::string named_windows_zone(const std::string &tzid) {
    std::string name = tzid;
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
    if (name == "UTC" || name == "GMT" || name == "Etc/UTC" || name == "Z") return "UTC";
    if (known_windows_zone(name)) return name;
    if (std::string win = windows_zone_for(name); !win.empty()) return win;
    for (std::size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1))
        if (std::string win = windows_zone_for(name.substr(slash + 1)); !win.empty()) return win;
    return "";
}

int vtimezone_offset(icaltimezone *zone, UnixTime t) {
    icaltimetype utc = icaltime_from_timet_with_zone(static_cast<time_t>(t), 0, ical_utc());
    int is_daylight = 0;
    return icaltimezone_get_utc_offset_of_utc_time(zone, &utc, &is_daylight);
}

// The instants a VTIMEZONE's offset is compared at over three years around
// `near`: twice a month, and the last second before and the first second
// of each of its changes (found to the second between two samples), so a
// zone that changes on the same days at another hour does not match.
std::vector<UnixTime> checkpoints(icaltimezone *zone, UnixTime near) {
    std::vector<UnixTime> out;
    const UnixTime from = near - 366 * 86400, step = 15 * 86400;
    for (UnixTime t = from; t < from + 3 * 366 * 86400; t += step) {
        out.push_back(t);
        if (vtimezone_offset(zone, t) == vtimezone_offset(zone, t + step)) continue;
        UnixTime before = t, after = t + step;
        while (after - before > 1) {
            UnixTime mid = before + (after - before) / 2;
            (vtimezone_offset(zone, mid) == vtimezone_offset(zone, t) ? before : after) = mid;
        }
        out.push_back(before);
        out.push_back(after);
    }
    return out;
}

bool offsets_match(icaltimezone *zone, const std::vector<UnixTime> &instants, const std::string &windows_id) {
    std::unique_ptr<icu::TimeZone> candidate(
        icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(tz_name_of_windows_zone(windows_id))));
    for (UnixTime t : instants) {
        std::int32_t raw = 0, dst = 0;
        UErrorCode status = U_ZERO_ERROR;
        candidate->getOffset(static_cast<UDate>(t) * 1000.0, false, raw, dst, status);
        if (U_FAILURE(status) || vtimezone_offset(zone, t) != (raw + dst) / 1000) return false;
    }
    return true;
}

} // namespace

std::optional<IcalZone> resolve_ical_zone(const std::string &tzid, icalcomponent *calendar, UnixTime near) {
    IcalZone zone;
    std::string named = named_windows_zone(tzid);
    if (named == "UTC") return zone;
    if (!named.empty()) {
        zone.windows_id = named;
        return zone;
    }
    icaltimezone *own = calendar ? icalcomponent_get_timezone(calendar, tzid.c_str()) : nullptr;
    if (!own) return std::nullopt;
    const std::vector<UnixTime> instants = checkpoints(own, near);
    for (const std::string &win : windows_ids())
        if (offsets_match(own, instants, win)) {
            zone.windows_id = win;
            return zone;
        }
    zone.custom = own;
    return zone;
}

std::string vtimezone_of(const std::string &windows_id, UnixTime near) {
    std::string tz = tz_name_of_windows_zone(windows_id);
    if (tz.empty()) return "";
    std::unique_ptr<icu::VTimeZone> zone(icu::VTimeZone::createVTimeZoneByID(icu::UnicodeString::fromUTF8(tz)));
    if (!zone) return "";
    icu::UnicodeString text;
    UErrorCode status = U_ZERO_ERROR;
    zone->writeSimple(static_cast<UDate>(near) * 1000.0, text, status);
    if (U_FAILURE(status)) return "";
    std::string out;
    text.toUTF8String(out);
    // Named by its Windows id, as Exchange names the zones it writes.
    std::size_t at = out.find("TZID:");
    if (at == std::string::npos) return "";
    std::size_t end = out.find("\r\n", at);
    return out.replace(at, end - at, "TZID:" + windows_id);
}

icaltimezone *ical_utc() {
    static icaltimezone *const utc = icaltimezone_get_utc_timezone();
    return utc;
}

std::string tz_name_of_windows_zone(const std::string &windows_id) {
    if (windows_id.empty() || windows_id == "UTC") return "";
    icu::UnicodeString tz;
    UErrorCode status = U_ZERO_ERROR;
    icu::TimeZone::getIDForWindowsID(icu::UnicodeString::fromUTF8(windows_id), nullptr, tz, status);
    std::string out;
    if (U_SUCCESS(status)) tz.toUTF8String(out);
    return out;
}

} // namespace sandbox
