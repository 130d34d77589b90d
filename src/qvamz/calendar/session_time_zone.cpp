#include "calendar/session_time_zone.hpp"

#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "frame/session.hpp"
#include "transport/clock.hpp"

namespace qvamz {
namespace {

constexpr int kMillisPerMinute = 60 * 1000;

std::string ToUtf8(const icu::UnicodeString &text)
{
    std::string utf8;
    text.toUTF8String(utf8);
    return utf8;
}

bool KnownZone(const std::string &id)
{
    std::unique_ptr<icu::TimeZone> zone(
        icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(id)));
    return zone && *zone != icu::TimeZone::getUnknown();
}

// The zone id a /etc/localtime link points at (".../zoneinfo/Europe/Paris").
std::string LocaltimeLinkZone()
{
    std::error_code error;
    const std::filesystem::path target =
        std::filesystem::read_symlink("/etc/localtime", error);
    if (error)
        return {};
    const std::string text = target.string();
    const std::size_t at = text.find("zoneinfo/");
    return at == std::string::npos ? std::string() : text.substr(at + 9);
}

std::string WindowsName(const icu::UnicodeString &zone_id)
{
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString windows_id;
    icu::TimeZone::getWindowsID(zone_id, windows_id, status);
    std::string name = U_SUCCESS(status) && !windows_id.isEmpty() ? ToUtf8(windows_id)
                                                                  : ToUtf8(zone_id);
    // A localized host once reported this instead of the zone's key name.
    if (name == "Paris, Madrid")
        name = "Romance Standard Time";
    std::string limited;
    assign_limited(limited, name, kTimeZoneNameMax);
    return limited;
}

} // namespace

std::string UtcOffsetText(int bias)
{
    const int magnitude = bias < 0 ? -bias : bias;
    char text[16];
    std::snprintf(text, sizeof text, "%c%02d%02d", bias > 0 ? '-' : '+', magnitude / 60,
                  magnitude % 60);
    return text;
}

std::string HostTimeZoneId()
{
    if (const char *tz = std::getenv("TZ"); tz && *tz) {
        std::string id = tz[0] == ':' ? tz + 1 : tz;
        if (KnownZone(id))
            return id;
    }
    if (std::string id = LocaltimeLinkZone(); !id.empty() && KnownZone(id))
        return id;
    std::unique_ptr<icu::TimeZone> host(icu::TimeZone::detectHostTimeZone());
    if (host && *host != icu::TimeZone::getUnknown()) {
        icu::UnicodeString id;
        host->getID(id);
        return ToUtf8(id);
    }
    return "UTC";
}

SessionTimeZone DescribeTimeZone(std::string_view zone_id, std::int64_t unix_seconds)
{
    const icu::UnicodeString id =
        icu::UnicodeString::fromUTF8(icu::StringPiece(zone_id.data(), zone_id.size()));
    std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createTimeZone(id));
    SessionTimeZone tz;
    tz.zone_id = std::string(zone_id);
    int32_t raw_ms = 0, dst_ms = 0;
    UErrorCode status = U_ZERO_ERROR;
    zone->getOffset(static_cast<UDate>(unix_seconds) * 1000.0, false, raw_ms, dst_ms, status);
    if (U_FAILURE(status))
        raw_ms = dst_ms = 0;
    tz.bias = -raw_ms / kMillisPerMinute;
    if (zone->useDaylightTime())
        tz.daylight_bias = -zone->getDSTSavings() / kMillisPerMinute;
    tz.daylight_now = dst_ms != 0;
    const int bias_now = tz.bias + (tz.daylight_now ? -dst_ms / kMillisPerMinute : 0);
    tz.utc_offset_text = UtcOffsetText(bias_now);
    tz.windows_name = WindowsName(id);
    return tz;
}

} // namespace qvamz
