#include "calendar/icalendar_writer.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "calendar/icalendar_text.hpp"
#include "calendar/recurrence.hpp"
#include "calendar/time_zone_map.hpp"
#include "common/xml_request_text.hpp"
#include "qv/qvcom.h"
#include "qv/qvcom.hpp"

namespace qvamz::calendar {

namespace {

constexpr std::size_t kVTimeZoneMax = 8192;
constexpr std::size_t kTzidMax = 256;
constexpr std::size_t kRruleMax = 512;
constexpr std::size_t kBreakoutTextMax = 255;
constexpr std::streamsize kBreakoutFileMax = 1 << 20;
constexpr qv_filetime kTicksPerDay = 864'000'000'000ULL;

bool is_dated(const qv_message &msg) {
    return msg.entry_type == 1 || msg.entry_type == 2 || msg.all_day != 0;
}

// Wall-clock time of a zone, held in a FILETIME, from libqvcom's zone
// offsets (the zone's own daylight rules decide).
class ZoneClock {
  public:
    explicit ZoneClock(std::string zone) : zone_(std::move(zone)) {
        known_ = com_GetTZInfo(zone_.c_str(), &bias_, &daylight_bias_, nullptr, 0) != 0;
    }
    bool known() const { return known_; }
    const std::string &zone() const { return zone_; }

    qv_filetime Local(qv_filetime utc) const {
        qv_filetime t = utc;
        com_OffsetFileTimeVal(&t, -bias_);
        int32_t state = 1;
        if (com_TZDateIsDST(t, zone_.c_str(), daylight_bias_, &state) != 0) {
            com_OffsetFileTimeVal(&t, -daylight_bias_);
        }
        return t;
    }

  private:
    std::string zone_;
    bool known_ = false;
    int32_t bias_ = 0;
    int32_t daylight_bias_ = 0;
};

// The record's zone by a name the zone routines know: the name itself (tz
// database or Windows id), else what MapTimeZoneId makes of it (display
// names, offsets, colloquial names); "" when neither is known.
std::string ResolvedZone(std::string_view time_zone) {
    if (time_zone.empty()) {
        return {};
    }
    for (const std::string &name : {std::string(time_zone), MapTimeZoneId(time_zone)}) {
        if (com_GetTZInfo(name.c_str(), nullptr, nullptr, nullptr, 0) != 0) {
            return name;
        }
    }
    return {};
}

std::tm Fields(qv_filetime time) {
    const std::time_t seconds = static_cast<std::time_t>(com_FileTimeToUnix(time));
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    return tm;
}

std::string DateText(qv_filetime time) {
    const std::tm tm = Fields(time);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday);
    return text;
}

std::string DateTimeText(qv_filetime time, bool utc) {
    const std::tm tm = Fields(time);
    char text[40];
    std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02d%s", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, utc ? "Z" : "");
    return text;
}

// How the event's times are written: dates on the wall clock of the zone
// (or the host's), times with the TZID, or UTC.
struct Timing {
    bool dated = false;
    std::string tzid;     // empty: UTC times
    ZoneClock zone_clock; // the event zone, else the host's

    std::string Property(std::string_view name, qv_filetime utc) const {
        std::string line(name);
        if (dated) {
            return line + ";VALUE=DATE:" + DateText(zone_clock.Local(utc));
        }
        if (!tzid.empty()) {
            return line + ";TZID=" + ParamValue(tzid) + ":" +
                   DateTimeText(zone_clock.Local(utc), false);
        }
        return line + ":" + DateTimeText(utc, true);
    }

    // DTEND; a dated event ends at least one day after its start.
    std::string End(qv_filetime start, qv_filetime end) const {
        if (dated && DateText(zone_clock.Local(end)) <= DateText(zone_clock.Local(start))) {
            return "DTEND;VALUE=DATE:" + DateText(zone_clock.Local(start) + kTicksPerDay);
        }
        return Property("DTEND", end);
    }
};

std::string HostZone() {
    char id[kTzidMax] = "";
    com_HostTimeZoneId(id, sizeof id);
    return id;
}

std::string Field(const char *text, int codepage) {
    return RecordTextUtf8(text, codepage);
}

void CutAtLineEnd(char *text) {
    text[std::strcspn(text, "\r\n")] = '\0';
}

// The record's notes (its first text body part) as UTF-8.
std::string NotesText(const qv_message &msg, const std::string &work_dir) {
    for (int i = 0; i < msg.part_count && i < QV_MAX_PARTS; ++i) {
        const qv_part *part = msg.parts[i];
        if (part == nullptr || part->part_type != QV_PART_TEXT_BODY) {
            continue;
        }
        const std::string path = qvcom::part_file_path(work_dir, msg.msg_number, i);
        std::vector<char> buffer(static_cast<std::size_t>(com_GetFileSize(path.c_str(), nullptr)) * 3 + 1);
        com_ReadNotes(&msg, buffer.data(), buffer.size(), work_dir.c_str());
        com_CharsetToUTF8(part->charset, buffer.data(), buffer.size());
        return buffer.data();
    }
    return {};
}

std::string ReadStart(const std::string &path, std::streamsize max) {
    std::ifstream in(path, std::ios::binary);
    std::string text(static_cast<std::size_t>(max), '\0');
    in.read(text.data(), max);
    text.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return text;
}

std::string UidOf(qv_message &msg, const std::string &work_dir) {
    com_MsgIsDuplicate(&msg, work_dir.c_str(), QVCOM_DUP_IDENTIFY, "");
    char hex[2 * sizeof msg.binary_id + 1] = "";
    com_HexString(msg.binary_id, hex, sizeof hex, sizeof msg.binary_id);
    return hex;
}

const char *PartStat(int response) {
    switch (response) {
    case 1: return "ACCEPTED";
    case 2: return "DECLINED";
    case 3: return "TENTATIVE";
    default: return "NEEDS-ACTION";
    }
}

// Required attendees are every To kind; a Bcc attendee of a meeting is a
// resource (a room or equipment).
std::string RoleOf(int kind) {
    if (kind == QV_RECIP_CC) {
        return "ROLE=OPT-PARTICIPANT";
    }
    if (kind == QV_RECIP_BCC) {
        return "CUTYPE=RESOURCE;ROLE=NON-PARTICIPANT";
    }
    return "ROLE=REQ-PARTICIPANT";
}

// The address of an attendee: its address, else a name that is one
// ("Ann <ann@example.com>" or "ann@example.com"); "" when there is none.
std::string AttendeeAddress(std::string_view address, std::string_view name) {
    if (address.find('@') != std::string_view::npos) {
        return std::string(address);
    }
    const std::size_t open = name.find('<'), close = name.rfind('>');
    if (open != std::string_view::npos && close != std::string_view::npos && close > open) {
        name = name.substr(open + 1, close - open - 1);
    }
    return name.find('@') != std::string_view::npos ? std::string(name) : std::string();
}

std::string AttendeeLine(const std::string &name, const std::string &address,
                         const std::string &role, const char *partstat, bool rsvp) {
    std::string line = "ATTENDEE";
    if (!name.empty()) {
        line += ";CN=" + ParamValue(name);
    }
    line += ";" + role;
    if (partstat != nullptr) {
        line += std::string(";PARTSTAT=") + partstat;
    }
    line += std::string(";RSVP=") + (rsvp ? "TRUE" : "FALSE");
    return FoldLine(line + ":mailto:" + UriValue(address));
}

std::string AttendeeLines(const qv_message &msg) {
    std::string out;
    for (int i = 0; i < msg.recipient_count && i < QV_MAX_RECIPIENTS; ++i) {
        const qv_recipient *r = msg.recipients[i];
        if (r == nullptr || r->kind == QV_RECIP_ORGANIZER) {
            continue;
        }
        const std::string name = Field(r->name, msg.codepage);
        const std::string address = AttendeeAddress(r->address, name);
        if (!address.empty()) {
            out += AttendeeLine(name == address ? "" : name, address, RoleOf(r->kind),
                                PartStat(r->response), msg.rsvp != 0);
        }
    }
    return out;
}

// Attendees of one occurrence from its file: "name;address;required" a line.
std::string AttendeeFileLines(const qv_message &msg, const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::string out, line;
    while (std::getline(in, line)) {
        const std::size_t last = line.rfind(';');
        const std::size_t middle = last == std::string::npos || last == 0
                                       ? std::string::npos
                                       : line.rfind(';', last - 1);
        if (middle == std::string::npos) {
            continue;
        }
        std::string name = Field(line.substr(0, middle).c_str(), msg.codepage);
        std::string address = line.substr(middle + 1, last - middle - 1);
        const bool required = std::atoi(line.c_str() + last + 1) != 0;
        com_TrimLine(name.data());
        com_TrimLine(address.data());
        name.resize(std::strlen(name.c_str()));
        address.resize(std::strlen(address.c_str()));
        if (address.find('@') != std::string::npos) {
            out += AttendeeLine(name, address, required ? "ROLE=REQ-PARTICIPANT" : "ROLE=OPT-PARTICIPANT",
                                nullptr, msg.rsvp != 0);
        }
    }
    return out;
}

// "ORGANIZER..." line, "" when the record names no organizer.
std::string OrganizerLine(const qv_message &msg) {
    const std::string name = Field(msg.organizer_name, msg.codepage);
    const std::string address = Field(msg.organizer_address, msg.codepage);
    if (address.find('@') != std::string::npos) {
        const std::string cn = name.empty() || name == address ? "" : ";CN=" + ParamValue(name);
        return FoldLine("ORGANIZER" + cn + ":mailto:" + UriValue(address));
    }
    if (name.empty()) {
        return {};
    }
    const bool is_address = name.find('@') != std::string::npos;
    return FoldLine("ORGANIZER:" + std::string(is_address ? "mailto:" : "") + UriValue(name));
}

std::string RruleOf(const qv_message &msg, const std::string &zone) {
    // com_Genrrule takes the end day in the record's zone; hand it the
    // zone under a name it knows.
    auto copy = std::make_unique<qv_message>(msg);
    qvcommon::CopyToField(copy->time_zone, zone);
    char rrule[kRruleMax] = "";
    com_Genrrule(copy.get(), rrule, sizeof rrule);
    return rrule;
}

std::string Alarm(const qv_message &msg, const std::string &summary, const std::string &location) {
    char start_text[64] = "";
    com_DateDisplayText(msg.start_time, start_text, sizeof start_text);
    std::string text = summary + " at " + start_text;
    if (!location.empty()) {
        text += ", Location: " + location;
    }
    return "BEGIN:VALARM\r\n" +
           FoldLine("TRIGGER:-PT" + std::to_string(std::max(+msg.reminder_minutes, 0)) + "M") +
           "ACTION:DISPLAY\r\n" + FoldLine("DESCRIPTION:" + EscapeText(text)) + "END:VALARM\r\n";
}

// Free/busy as TRANSP, which every reader knows, and as the server's own
// value, which also tells tentative and out of office apart.
std::string BusyLines(const qv_message &msg) {
    static const char *const kStatus[] = {"FREE", "TENTATIVE", "BUSY", "OOF"};
    const int status = msg.busy_status <= 3 ? msg.busy_status : 2;
    return std::string("TRANSP:") + (status == 0 ? "TRANSPARENT" : "OPAQUE") +
           "\r\nX-MICROSOFT-CDO-BUSYSTATUS:" + kStatus[status] + "\r\n";
}

// The record's ";"-separated category names as one CATEGORIES list.
std::string CategoriesLine(const qv_message &msg) {
    std::string list;
    std::istringstream names(Field(msg.categories, msg.codepage));
    for (std::string name; std::getline(names, name, ';');) {
        const std::string value = EscapeText(name.substr(std::min(name.find_first_not_of(" \t"), name.size())));
        if (!value.empty()) {
            list += (list.empty() ? "" : ",") + value;
        }
    }
    return list.empty() ? std::string() : FoldLine("CATEGORIES:" + list);
}

std::string VTimeZoneLines(const char *text) {
    std::string out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty()) {
            out += FoldLine(line);
        }
    }
    return out;
}

struct EventParts {
    std::string uid, stamp, organizer, attendees;
    Timing timing;
};

// The VEVENT of the event itself, or of the series with its rule and
// deleted occurrences.
std::string SeriesEvent(const qv_message &msg, const EventParts &parts, const std::string &zone,
                        const ICalendarContext &context) {
    const std::string summary = Field(msg.title, msg.codepage);
    const std::string location = Field(msg.location, msg.codepage);
    std::string out = "BEGIN:VEVENT\r\n" + FoldLine("UID:" + parts.uid) + parts.stamp;
    if (msg.importance == 2) {
        out += "PRIORITY:1\r\n";
    } else if (msg.importance == 0) {
        out += "PRIORITY:9\r\n";
    }
    if (!location.empty()) {
        out += FoldLine("LOCATION:" + EscapeText(location));
    }
    out += FoldLine("SUMMARY:" + EscapeText(summary));
    if (msg.is_private != 0) {
        out += "CLASS:PRIVATE\r\n";
    }
    out += FoldLine(parts.timing.Property("DTSTART", msg.start_time));
    out += FoldLine(parts.timing.End(msg.start_time, msg.end_time));
    out += BusyLines(msg) + CategoriesLine(msg) + parts.attendees + parts.organizer;
    out += FoldDescription(NotesText(msg, context.work_dir));
    if (const std::string rrule = RruleOf(msg, zone); !rrule.empty()) {
        out += FoldLine("RRULE:" + rrule);
    }
    for (int i = 0; i < msg.breakout_count && i < QV_MAX_BREAKOUTS; ++i) {
        if (msg.breakouts[i] != nullptr && msg.breakouts[i]->kind == kBreakoutDeleted) {
            out += FoldLine(parts.timing.Property("EXDATE", msg.breakouts[i]->original_start));
        }
    }
    out += "SEQUENCE:0\r\n";
    if (msg.reminder_set != 0) {
        out += Alarm(msg, summary, location);
    }
    return out + "END:VEVENT\r\n";
}

std::string ModifiedOccurrence(qv_message &msg, qv_breakout &b, int position,
                               const EventParts &parts, const ICalendarContext &context) {
    if (b.subject[0] == '\0') {
        qvcommon::CopyToField(b.subject, msg.title, kBreakoutTextMax);
    }
    if (b.location[0] == '\0') {
        qvcommon::CopyToField(b.location, msg.location, kBreakoutTextMax);
    }
    std::string out = "BEGIN:VEVENT\r\n" + FoldLine("UID:" + parts.uid) + parts.stamp;
    const std::string location = Field(b.location, msg.codepage);
    if (!location.empty()) {
        out += FoldLine("LOCATION:" + EscapeText(location));
    }
    out += FoldLine("SUMMARY:" + EscapeText(Field(b.subject, msg.codepage)));
    if (msg.is_private != 0) {
        out += "CLASS:PRIVATE\r\n";
    }
    if (b.description_file[0] != '\0') {
        out += FoldDescription(
            Field(ReadStart(b.description_file, kBreakoutFileMax).c_str(), msg.codepage));
    }
    if (context.write_attendees) {
        out += parts.organizer;
        out += b.attendee_file[0] == '\0' ? parts.attendees
                                          : AttendeeFileLines(msg, b.attendee_file);
    }
    out += FoldLine(parts.timing.Property("RECURRENCE-ID", b.original_start));
    out += FoldLine(parts.timing.Property("DTSTART", b.start));
    out += FoldLine(parts.timing.End(b.start, std::max(+b.end, +b.start)));
    out += "SEQUENCE:" + std::to_string(position) + "\r\nEND:VEVENT\r\n";
    return out;
}

} // namespace

std::string FoldDescription(std::string_view text) {
    const std::string value = EscapeText(text);
    // A property without a value is no property: readers drop it with an
    // error.
    return value.empty() ? std::string() : FoldLine("DESCRIPTION:" + value);
}

std::string ICalendarWriter(qv_message &msg, const ICalendarContext &context) {
    CutAtLineEnd(msg.title);
    msg.end_time = std::max(+msg.end_time, +msg.start_time);

    std::string out = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Quovera\r\n";
    const std::string zone = ResolvedZone(msg.time_zone);
    char vtimezone[kVTimeZoneMax] = "";
    char tzid[kTzidMax] = "";
    if (!zone.empty()) {
        com_GetVTimeZone(zone.c_str(), msg.start_time, vtimezone, sizeof vtimezone, tzid,
                         sizeof tzid);
        out += VTimeZoneLines(vtimezone);
    }
    const EventParts parts{UidOf(msg, context.work_dir),
                           "DTSTAMP:" + DateTimeText(com_FileTimeNow(), true) + "\r\n",
                           OrganizerLine(msg),
                           context.write_attendees ? AttendeeLines(msg) : std::string(),
                           Timing{is_dated(msg), tzid,
                                  ZoneClock(tzid[0] != '\0' ? zone : HostZone())}};
    out += SeriesEvent(msg, parts, zone, context);
    for (int i = 0; i < msg.breakout_count && i < QV_MAX_BREAKOUTS; ++i) {
        if (msg.breakouts[i] != nullptr && msg.breakouts[i]->kind == kBreakoutModified) {
            out += ModifiedOccurrence(msg, *msg.breakouts[i], i + 1, parts, context);
        }
    }
    return out + "END:VCALENDAR\r\n";
}

} // namespace qvamz::calendar
