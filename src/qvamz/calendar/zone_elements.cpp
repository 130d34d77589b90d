// Zone elements and the local day start (see zone_elements.hpp).
#include "calendar/zone_elements.hpp"

#include "calendar/time_zone_map.hpp"
#include "common/xml_request_text.hpp"
#include "qv/qvcom.h"

namespace qvamz::calendar {
namespace {

constexpr std::int16_t kRecurDaily = 6;
constexpr int kFirstVersionWithZoneIds = 15;
constexpr qv_filetime kTicksPerDay = 24ULL * 60 * 60 * 10'000'000;

} // namespace

bool HostDateIsDst(qv_filetime utc)
{
    return com_DateIsDST(utc, 0) != 0;
}

std::string ZoneElements(const qv_message &record, std::string_view session_zone_name,
                         int server_major_version)
{
    std::string_view zone = session_zone_name;
    if (record.time_zone[0] != '\0')
        zone = record.time_zone;
    const std::string id = qvcommon::XmlRequestEscaped(MapTimeZoneId(zone));
    if (server_major_version < kFirstVersionWithZoneIds) {
        if (record.recur_type == kRecurDaily)
            return {};
        return "<t:MeetingTimeZone TimeZoneName=\"" + id + "\"/>\n";
    }
    return "<t:StartTimeZone Id=\"" + id + "\"></t:StartTimeZone>\n" +
           "<t:EndTimeZone Id=\"" + id + "\"></t:EndTimeZone>\n";
}

qv_filetime LocalDayStart(qv_filetime utc, int bias, int dst_offset, DstTest is_dst)
{
    if (utc == 0)
        return 0;
    qv_filetime local = utc;
    com_OffsetFileTimeVal(&local, -(bias + (is_dst(utc) ? dst_offset : 0)));
    qv_filetime start = local - local % kTicksPerDay; // midnight, held as if it were UTC
    com_OffsetFileTimeVal(&start, bias);
    if (is_dst(start))
        com_OffsetFileTimeVal(&start, dst_offset);
    return start;
}

} // namespace qvamz::calendar
