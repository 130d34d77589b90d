// time_zones.cpp - daylight saving time and zone offsets from ICU's zone
// rules: the host's zone, and zones named by tz database or Windows id.
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "c_buffer.hpp"
#include "qv/qvcom.h"
#include "zone_lookup.hpp"

using namespace qvcom::detail;

namespace {

constexpr int kMillisPerMinute = 60 * 1000;
constexpr double kMillisPerTick = 1.0 / 10'000;

bool is_known(const icu::TimeZone *zone) {
    return zone != nullptr && *zone != icu::TimeZone::getUnknown();
}

ZonePtr zone_for_tz_id(std::string_view id) {
    ZonePtr zone(icu::TimeZone::createTimeZone(
        icu::UnicodeString::fromUTF8(icu::StringPiece(id.data(), static_cast<int32_t>(id.size())))));
    return is_known(zone.get()) ? std::move(zone) : nullptr;
}

UDate to_udate(qv_filetime date) {
    return static_cast<double>(com_FileTimeToUnix(date)) * 1000.0 +
           static_cast<double>(date % 10'000'000) * kMillisPerTick;
}

bool dst_at(const icu::TimeZone &zone, UDate when) {
    int32_t raw = 0, dst = 0;
    UErrorCode status = U_ZERO_ERROR;
    zone.getOffset(when, false, raw, dst, status);
    return U_SUCCESS(status) && dst != 0;
}

// The zone id a /etc/localtime link points at (".../zoneinfo/Europe/Paris").
std::string localtime_link_zone() {
    std::error_code error;
    const std::filesystem::path target = std::filesystem::read_symlink("/etc/localtime", error);
    if (error) {
        return {};
    }
    const std::string text = target.string();
    const std::size_t at = text.find("zoneinfo/");
    return at == std::string::npos ? std::string() : text.substr(at + 9);
}

} // namespace

namespace qvcom::detail {

// A tz database id, else a Windows zone id ("Eastern Standard Time").
ZonePtr zone_named(std::string_view name) {
    if (name.empty()) {
        return nullptr;
    }
    if (ZonePtr zone = zone_for_tz_id(name)) {
        return zone;
    }
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString tz_id;
    icu::TimeZone::getIDForWindowsID(
        icu::UnicodeString::fromUTF8(icu::StringPiece(name.data(), static_cast<int32_t>(name.size()))),
        nullptr, tz_id, status);
    if (U_FAILURE(status) || tz_id.isEmpty()) {
        return nullptr;
    }
    std::string utf8;
    tz_id.toUTF8String(utf8);
    return zone_for_tz_id(utf8);
}

std::string host_zone_id() {
    if (const char *tz = std::getenv("TZ"); tz != nullptr && *tz != '\0') {
        const std::string id = tz[0] == ':' ? tz + 1 : tz;
        if (zone_for_tz_id(id)) {
            return id;
        }
    }
    if (const std::string id = localtime_link_zone(); !id.empty() && zone_for_tz_id(id)) {
        return id;
    }
    ZonePtr host(icu::TimeZone::detectHostTimeZone());
    if (is_known(host.get())) {
        icu::UnicodeString id;
        host->getID(id);
        std::string utf8;
        id.toUTF8String(utf8);
        return utf8;
    }
    return "UTC";
}

} // namespace qvcom::detail

extern "C" {

QVCOM_API int com_HostTimeZoneId(char *out, size_t out_size) {
    return copy_to_buffer(host_zone_id(), out, out_size) ? 1 : 0;
}

QVCOM_API int com_DateIsDST(qv_filetime date, int reserved) {
    (void)reserved;
    if (date == 0) {
        return 0;
    }
    const ZonePtr zone = zone_for_tz_id(host_zone_id());
    return zone && dst_at(*zone, to_udate(date)) ? 1 : 0;
}

QVCOM_API int com_GetTZInfo(const char *zone_name, int32_t *bias, int32_t *daylight_bias,
                            int32_t *has_daylight, int reserved) {
    (void)reserved;
    for (int32_t *out : {bias, daylight_bias, has_daylight}) {
        if (out != nullptr) {
            *out = 0;
        }
    }
    const ZonePtr zone = zone_named(view_of(zone_name));
    if (!zone) {
        return 0;
    }
    const bool daylight = zone->useDaylightTime() != 0;
    if (bias != nullptr) {
        *bias = -zone->getRawOffset() / kMillisPerMinute;
    }
    if (daylight_bias != nullptr && daylight) {
        *daylight_bias = -zone->getDSTSavings() / kMillisPerMinute;
    }
    if (has_daylight != nullptr) {
        *has_daylight = daylight ? 1 : 0;
    }
    return 1;
}

QVCOM_API int com_TZDateIsDST(qv_filetime local_standard, const char *zone_name,
                              int daylight_bias, int32_t *state) {
    (void)daylight_bias;
    const ZonePtr zone = zone_named(view_of(zone_name));
    if (!zone) {
        if (state != nullptr) {
            *state = 0;
        }
        return 0;
    }
    if (state != nullptr) {
        *state = 1;
    }
    // Standard time has no gaps or overlaps: one raw offset takes it back
    // to the instant.
    const UDate instant = to_udate(local_standard) - zone->getRawOffset();
    return dst_at(*zone, instant) ? 1 : 0;
}

} // extern "C"
