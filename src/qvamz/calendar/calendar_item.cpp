// One calendar item from its GetItem answer (see calendar_item.hpp).
#include "calendar/calendar_item.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "calendar/recurrence.hpp"
#include "common/text_case.hpp"
#include "common/unique_file.hpp"
#include "common/xml_request_text.hpp"
#include "ews/attachment_download.hpp"
#include "ews/xml_scan.hpp"
#include "qv/qvcom.h"
#include "qv/qvcom.hpp"

namespace qvamz::calendar {
namespace {

using qvcommon::EqualsNoCase;
using qvcommon::CopyToField;

constexpr std::string_view kGlobalObjectIdProperty = "3";
constexpr std::size_t kPropertyIdMax = 250;

std::string Value(const char *text, std::string_view name, std::size_t max = kTextFieldMax)
{
    std::string value;
    GetElementValue(text, name, value, max);
    return value;
}

bool IsTrue(const char *text, std::string_view name)
{
    return EqualsNoCase(Value(text, name, kStatusWordMax), "true");
}

// The uid of a meeting without UID: its global object id (the Meeting
// property 3) as lower-case hex, cut to whole bytes that fit the field.
std::string GlobalObjectIdHex(const char *text)
{
    for (const char *at = std::strstr(text, "<t:ExtendedFieldURI"); at;
         at = std::strstr(at + 1, "<t:ExtendedFieldURI")) {
        const char *id = std::strstr(at, "PropertyId=\"");
        const char *tag_end = std::strchr(at, '>');
        if (!id || (tag_end && id > tag_end))
            continue;
        id += std::strlen("PropertyId=\"");
        const std::size_t length = std::min(std::strcspn(id, "\""), kPropertyIdMax);
        if (std::string_view(id, length) != kGlobalObjectIdProperty)
            continue;
        std::string value = Value(at, "Value", kGlobalIdValueMax);
        const std::size_t bytes = Base64DecodeInPlace(value.data());
        const std::size_t kept = std::min(bytes, kUidMax / 2);
        char hex[kUidMax + 1];
        com_HexString(value.data(), hex, sizeof hex, kept);
        return hex;
    }
    return {};
}

// The zone the item was made in, as the server names it: a Windows zone id
// (StartTimeZone, MeetingTimeZone) or a display name (TimeZone).
std::string ItemZone(const char *text)
{
    for (std::string_view marker : {"<t:StartTimeZone ", "<t:MeetingTimeZone "}) {
        const char *at = std::strstr(text, marker.data());
        if (!at)
            continue;
        const char *tag_end = std::strchr(at, '>');
        for (std::string_view attribute : {" Id=\"", " TimeZoneName=\""}) {
            const char *value = std::strstr(at, attribute.data());
            if (value && (!tag_end || value < tag_end)) {
                value += attribute.size();
                std::string zone(value, std::strcspn(value, "\""));
                return qvcom::xml_unescape(zone);
            }
        }
    }
    return Value(text, "TimeZone", kTimeZoneFieldMax);
}

// The plain-text body.  Newer servers add attributes such as IsTruncated
// after BodyType, so the tag is taken as the answer wrote it.
std::string BodyText(const char *text)
{
    const char *tag = std::strstr(text, "<t:Body BodyType=\"Text\"");
    const char *tag_end = tag ? std::strchr(tag, '>') : nullptr;
    if (!tag_end || tag_end[-1] == '/')
        return {};
    const std::string name(tag + 3, tag_end);
    return Value(tag, name, kBodyTextMax);
}

void ReadTimesAndFlags(const char *text, qv_message *msg)
{
    // The record is byte-packed: parse into locals, never bind its fields.
    qv_filetime start = msg->start_time, end = msg->end_time;
    ParseEwsDateTime(Value(text, "Start"), start);
    ParseEwsDateTime(Value(text, "End"), end);
    msg->start_time = start;
    msg->end_time = end;
    msg->all_day = IsTrue(text, "IsAllDayEvent") ? 1 : 0;
    if (IsTrue(text, "ReminderIsSet")) {
        msg->entry_type = 4;
        msg->reminder_set = 1;
        msg->reminder_minutes = std::atoi(Value(text, "ReminderMinutesBeforeStart").c_str());
    }
    if (IsTrue(text, "IsMeeting"))
        msg->entry_type = 3;
    std::string busy = Value(text, "LegacyFreeBusyStatus", kStatusWordMax);
    if (busy.empty())
        busy = Value(text, "LegacyFreeBusyType", kStatusWordMax);
    msg->busy_status = static_cast<std::uint16_t>(BusyStatusNumber(busy));
    if (EqualsNoCase(Value(text, "Sensitivity", kStatusWordMax), "Private"))
        msg->is_private = 1;
    // The XML writer takes priority as the item's importance (0 low, 2
    // high), the iCalendar writer takes importance: left at 0, every copied
    // event would turn low, so both are set.
    const std::string importance = Value(text, "Importance", kStatusWordMax);
    msg->priority = EqualsNoCase(importance, "High") ? 2 : EqualsNoCase(importance, "Low") ? 0 : 1;
    msg->importance = msg->priority;
}

void ReadOrganizer(const char *text, qv_message *msg)
{
    const char *cursor = std::strstr(text, "<t:Organizer>");
    std::string line;
    while (cursor && NextBufferLine(cursor, line) == 0 && line != "</t:Organizer>") {
        if (line.starts_with("<t:Name>")) {
            NextBufferLine(cursor, line);
            com_Unescape(line.data());
            CopyToField(msg->organizer_name, line.c_str(), kTextFieldMax);
        } else if (line.starts_with("<t:EmailAddress>")) {
            NextBufferLine(cursor, line);
            com_Unescape(line.data());
            CopyToField(msg->organizer_address, line.c_str(), kTextFieldMax);
        }
    }
}

// Whether a recipient already stands for the organizer.  Empty names and
// addresses say nothing: an attendee list without names must not hide
// an organizer who has none either.
bool OrganizerListed(const qv_message *msg)
{
    for (int i = 0; i < msg->recipient_count; ++i) {
        const qv_recipient *r = msg->recipients[i];
        if ((msg->organizer_address[0] && std::strcmp(r->address, msg->organizer_address) == 0) ||
            (msg->organizer_name[0] && std::strcmp(r->name, msg->organizer_name) == 0))
            return true;
    }
    return false;
}

} // namespace

int ResponseNumber(std::string_view word)
{
    if (EqualsNoCase(word, "Accept"))
        return kResponseAccepted;
    if (EqualsNoCase(word, "Decline"))
        return kResponseDeclined;
    if (EqualsNoCase(word, "Tentative"))
        return kResponseTentative;
    return kResponseNone;
}

int BusyStatusNumber(std::string_view word)
{
    if (EqualsNoCase(word, "Free"))
        return 0;
    if (EqualsNoCase(word, "Tentative"))
        return 1;
    if (EqualsNoCase(word, "OOF"))
        return 3;
    return 2;
}

void AddRecipient(qv_message *msg, int kind, std::string_view name, std::string_view address,
                  int response, const ItemContext &context)
{
    if (msg->recipient_count >= QV_MAX_RECIPIENTS)
        return;
    qv_recipient *recipient = com_AllocRecip(msg);
    if (!recipient)
        return;
    CopyToField(recipient->name, name, kTextFieldMax);
    CopyToField(recipient->address, address, kTextFieldMax);
    recipient->kind = kind;
    recipient->response = response;
    ++msg->recipient_count;
    if (kind == QV_RECIP_ORGANIZER && !address.empty() &&
        EqualsNoCase(address, context.mailbox_user))
        msg->user_is_organizer = 1;
}

void ParseAttendees(bool required, const char *item_text, qv_message *msg,
                    const ItemContext &context)
{
    const std::string list = required ? "RequiredAttendees" : "OptionalAttendees";
    const char *cursor = std::strstr(item_text, ("<t:" + list + ">").c_str());
    if (!cursor)
        return;
    const std::string close = "</t:" + list + ">";
    std::string line, name, address;
    int response = kResponseNone;
    while (NextBufferLine(cursor, line) == 0 && !EqualsNoCase(line, close)) {
        if (line == "</t:Attendee>") {
            const bool is_organizer =
                (!name.empty() && EqualsNoCase(name, msg->organizer_name)) ||
                (!address.empty() && EqualsNoCase(address, msg->organizer_address));
            if (is_organizer)
                AddRecipient(msg, QV_RECIP_ORGANIZER, name, address, kResponseAccepted, context);
            else
                AddRecipient(msg, required ? QV_RECIP_TO : QV_RECIP_CC, name, address, response,
                             context);
            name.clear();
            address.clear();
            response = kResponseNone;
        } else if (line.starts_with("<t:Name>")) {
            NextBufferLine(cursor, name);
            name = qvcom::xml_unescape(name);
        } else if (line.starts_with("<t:EmailAddress>")) {
            NextBufferLine(cursor, address);
            address = qvcom::xml_unescape(address);
        } else if (line.starts_with("<t:ResponseType>")) {
            NextBufferLine(cursor, line);
            response = ResponseNumber(line);
        }
        if (!cursor)
            break;
    }
}

bool ParseCalendarItem(const std::string &answer_path, qv_message *msg,
                       const ItemContext &context)
{
    std::string text;
    if (!qvcommon::ReadWholeFile(answer_path, text))
        return false;
    // Other meetings listed with the item are not the item.
    RemoveElement(text, "AdjacentMeetings");
    RemoveElement(text, "ConflictingMeetings");
    const char *item = text.c_str();

    CopyToField(msg->title, Value(item, "Subject"), kTextFieldMax);
    CopyToField(msg->location, Value(item, "Location"), kTextFieldMax);
    std::string uid = Value(item, "UID", kUidMax);
    if (uid.empty())
        uid = GlobalObjectIdHex(item);
    CopyToField(msg->uid, uid, kUidMax);
    CopyToField(msg->time_zone, ItemZone(item), kTimeZoneFieldMax);

    ReadTimesAndFlags(item, msg);
    if (const std::string body = BodyText(item); !body.empty())
        com_WriteNotes(msg, body.c_str(), context.work_dir.c_str());

    ParseRecurrence(text, msg);
    item = text.c_str(); // the recurrence reader cut the zone rules out of the text
    ParseCategories(item, msg);
    ReadOrganizer(item, msg);
    ParseAttendees(true, item, msg, context);
    ParseAttendees(false, item, msg, context);
    if (context.session)
        DownloadAttachments(*context.session, text, *msg, context.work_dir);

    if (msg->recipient_count > 0 && (msg->organizer_name[0] || msg->organizer_address[0]) &&
        !OrganizerListed(msg))
        AddRecipient(msg, QV_RECIP_ORGANIZER, msg->organizer_name, msg->organizer_address,
                     kResponseAccepted, context);

    if (msg->recur_type != kRecurNone)
        ParseOccurrences(msg, answer_path);
    return true;
}

} // namespace qvamz::calendar
