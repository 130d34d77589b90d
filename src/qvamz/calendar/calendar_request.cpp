// The CalendarItem XML of a written event (see calendar_request.hpp).
#include "calendar/calendar_request.hpp"

#include <cstring>
#include <strings.h>

#include "calendar/zone_elements.hpp"
#include "common/unique_file.hpp"
#include "common/xml_request_text.hpp"
#include "mailwrite/message_element.hpp"
#include "qv/qvcom.h"
#include "qv/qvcom.hpp"

namespace qvamz::calendar {
namespace {

constexpr char kAppointmentPropertySet[] = "00062002-0000-0000-C000-000000000046";
constexpr char kUnknownAttendee[] = "Unknown";
constexpr char kMessageTextName[] = "Message Text";
constexpr int kMinutesPerDay = 1440;
constexpr int kEntryAllDay = 2;

template <std::size_t N>
std::string Field(const char (&field)[N])
{
    return std::string(field, strnlen(field, N));
}

bool SameNoCase(std::string_view a, std::string_view b)
{
    return !a.empty() && a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string Escaped(std::string_view text)
{
    return qvcommon::XmlRequestEscaped(text);
}

int TextBodyIndex(const qv_message &msg)
{
    for (int i = 0; i < msg.part_count && i < QV_MAX_PARTS; ++i)
        if (msg.parts[i] && msg.parts[i]->part_type == QV_PART_TEXT_BODY)
            return i;
    return -1;
}

std::string BodyXml(const qv_message &msg, const std::string &work_dir)
{
    const int index = TextBodyIndex(msg);
    if (index < 0)
        return {};
    std::string notes; // an unreadable notes file gives no body, as an empty one does
    qvcommon::ReadWholeFile(qvcom::part_file_path(work_dir, msg.msg_number, index), notes);
    const std::string text = qvcommon::XmlRequestText(notes);
    if (text.empty())
        return {};
    return "<t:Body BodyType=\"Text\">" + qvcommon::CdataSections(text) + "</t:Body>\n";
}

const char *ResponseWord(int response)
{
    switch (response) {
    case 1: return "Accepted";
    case 2: return "Declined";
    case 3: return "Tentative";
    default: return "No response";
    }
}

const char *BusyWord(int status)
{
    switch (status) {
    case 0: return "Free";
    case 1: return "Tentative";
    case 3: return "OOF";
    default: return "Busy";
    }
}

std::string AttendeeList(const qv_message &msg, std::string_view own_mailbox, int kind, bool required)
{
    std::string list;
    for (int i = 0; i < msg.recipient_count && i < QV_MAX_RECIPIENTS; ++i) {
        const qv_recipient *r = msg.recipients[i];
        if (!r || r->kind != kind)
            continue;
        const std::string name = Field(r->name), address = Field(r->address);
        if (SameNoCase(address, own_mailbox) || SameNoCase(name, kUnknownAttendee))
            continue;
        list += "<t:Attendee>\n<t:Mailbox>\n";
        if (!name.empty())
            list += "<t:Name>" + Escaped(name) + "</t:Name>\n";
        if (!address.empty())
            list += "<t:EmailAddress>" + Escaped(address) + "</t:EmailAddress>\n";
        if (required)
            list += "<t:RoutingType>SMTP</t:RoutingType>\n</t:Mailbox>\n"
                    "<t:ResponseType>Unknown</t:ResponseType>\n</t:Attendee>\n";
        else
            list += "</t:Mailbox>\n</t:Attendee>\n";
    }
    return list;
}

// All-day events: a day long at least, from midnight to midnight in their
// own zone, which the item then names (the server keeps the days there).
void MakeWholeDays(qv_message &msg, const RecurrenceZone &zone)
{
    qv_filetime start = msg.start_time, end = msg.end_time;
    if (end == start)
        com_OffsetFileTimeVal(&end, kMinutesPerDay);
    msg.start_time = EventDayStart(msg, start, zone);
    msg.end_time = EventDayStart(msg, end, zone);
}

} // namespace

bool UserIsOrganizer(const qv_message &msg, std::string_view own_mailbox)
{
    // A record read from the mailbox being migrated says whether its owner
    // organized it; the target mailbox is that owner's, under whatever
    // address it has there.
    return msg.user_is_organizer != 0 || SameNoCase(own_mailbox, Field(msg.organizer_name)) ||
           SameNoCase(own_mailbox, Field(msg.organizer_address));
}

AttendeeRule DecideAttendees(const qv_message &msg, const CalendarRequestOptions &options)
{
    const bool organizer = UserIsOrganizer(msg, options.own_mailbox);
    if (options.meeting_responses) {
        if (msg.recipient_count > 0 && !organizer)
            return AttendeeRule::kSkipItem;
        return AttendeeRule::kWrite;
    }
    return options.write_attendees || organizer ? AttendeeRule::kWrite : AttendeeRule::kLeaveOut;
}

std::string AttendeesXml(const qv_message &msg, std::string_view own_mailbox)
{
    std::string xml;
    const std::string required = AttendeeList(msg, own_mailbox, QV_RECIP_TO, true);
    if (!required.empty())
        xml += "<t:RequiredAttendees>\n" + required + "</t:RequiredAttendees>\n";
    const std::string optional = AttendeeList(msg, own_mailbox, QV_RECIP_CC, false);
    if (!optional.empty())
        xml += "<t:OptionalAttendees>\n" + optional + "</t:OptionalAttendees>\n";
    return xml;
}

bool AppendResponsesBlock(qv_message &msg, const std::string &work_dir)
{
    int index = TextBodyIndex(msg);
    if (index < 0) {
        qv_part *part = com_AllocPart(&msg);
        if (!part)
            return false;
        part->part_type = QV_PART_TEXT_BODY;
        qvcommon::CopyToField(part->file_name, kMessageTextName);
        index = msg.part_count++;
    }
    std::string block = "\n\n------ Attendee Responses ------\n";
    for (int i = 0; i < msg.recipient_count && i < QV_MAX_RECIPIENTS; ++i)
        if (const qv_recipient *r = msg.recipients[i])
            block += Field(r->address) + " (" + ResponseWord(r->response) + ")\n";
    qvcommon::UniqueFile file =
        qvcommon::OpenFile(qvcom::part_file_path(work_dir, msg.msg_number, index), "ab");
    return file && std::fwrite(block.data(), 1, block.size(), file.get()) == block.size();
}

std::string CalendarItemXml(qv_message &msg, const CalendarRequestOptions &options,
                            const std::string &work_dir, bool attendees)
{
    std::string xml = "<t:Subject>" + Escaped(Field(msg.title)) + "</t:Subject>\n";
    if (msg.is_private)
        xml += "<t:Sensitivity>Private</t:Sensitivity>\n";
    xml += BodyXml(msg, work_dir);
    xml += CategoriesXml(Field(msg.categories));
    xml += std::string("<t:Importance>") +
           (msg.priority == 2 ? "High" : msg.priority == 0 ? "Low" : "Normal") + "</t:Importance>\n";
    if (msg.reminder_minutes != 0 && msg.start_time > options.now)
        xml += "<t:ReminderMinutesBeforeStart>" + std::to_string(msg.reminder_minutes) +
               "</t:ReminderMinutesBeforeStart>\n";
    else
        xml += "<t:ReminderIsSet>false</t:ReminderIsSet>\n";
    const bool all_day = msg.all_day || msg.entry_type == kEntryAllDay;
    if (all_day) {
        xml += std::string("<t:ExtendedProperty>\n<t:ExtendedFieldURI PropertySetId=\"") +
               kAppointmentPropertySet +
               "\" PropertyId=\"33301\" PropertyType=\"Boolean\"/>\n<t:Value>true</t:Value>\n"
               "</t:ExtendedProperty>\n";
        MakeWholeDays(msg, options.zone);
    }
    xml += "<t:ExtendedProperty>\n<t:ExtendedFieldURI PropertyTag=\"0x3004\" PropertyType=\"String\"/>\n"
           "<t:Value>via QV</t:Value>\n</t:ExtendedProperty>\n";
    xml += "<t:Start>" + EwsDateText(msg.start_time) + "</t:Start>\n";
    xml += "<t:End>" + EwsDateText(msg.end_time) + "</t:End>\n";
    // The EWS field besides the MAPI property: a server that keeps the two
    // apart still shows the event as all-day.
    if (all_day)
        xml += "<t:IsAllDayEvent>true</t:IsAllDayEvent>\n";
    xml += std::string("<t:LegacyFreeBusyStatus>") + BusyWord(msg.busy_status) + "</t:LegacyFreeBusyStatus>\n";
    xml += "<t:Location>" + Escaped(Field(msg.location)) + "</t:Location>\n";
    if (attendees)
        xml += AttendeesXml(msg, options.own_mailbox);
    if (msg.recur_type != 0)
        xml += RecurrenceXml(msg, options.zone);
    else if (all_day && msg.time_zone[0] != '\0')
        xml += ZoneElements(msg, options.zone.session_zone_name, options.zone.server_major_version);
    return xml;
}

} // namespace qvamz::calendar
