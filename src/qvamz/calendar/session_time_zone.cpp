#include "calendar/session_time_zone.hpp"

#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <cstdio>
#include <memory>

#include "frame/session.hpp"
#include "qv/qvcom.h"
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
    char id[256];
    return com_HostTimeZoneId(id, sizeof id) ? std::string(id) : std::string("UTC");
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
