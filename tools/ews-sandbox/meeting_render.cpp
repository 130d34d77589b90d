// The elements a <t:MeetingRequest> or <t:MeetingResponse> adds to the
// message elements, in the order of the schema's MeetingMessageType,
// MeetingRequestMessageType and MeetingResponseMessageType.  Microsoft's
// reference, "MeetingRequest": AssociatedCalendarItemId names the
// attendee's calendar item of the meeting; "ResponseType" of a request is
// the answer its recipient gave (NoResponseReceived until then), of a
// response the answer it carries.
#include <set>

#include "calendar_render.hpp"
#include "meeting_messages.hpp"

namespace sandbox {

namespace {

const std::set<std::string> kMeetingFields = {
    "AssociatedCalendarItemId", "IsDelegated", "IsOutOfDate", "HasBeenProcessed", "ResponseType",
    "UID", "DateTimeStamp", "MeetingRequestType", "IntendedFreeBusyStatus", "Start", "End",
    "IsAllDayEvent", "LegacyFreeBusyStatus", "Location", "IsMeeting", "IsCancelled", "IsRecurring",
    "MeetingRequestWasSent", "CalendarItemType", "MyResponseType", "Organizer", "RequiredAttendees",
    "OptionalAttendees", "Duration", "AppointmentState"};

// Lists FindItem leaves to GetItem, as it does for calendar items.
const std::set<std::string> kNotInFind = {"RequiredAttendees", "OptionalAttendees"};

std::set<std::string> wanted(const ItemShape &shape) {
    std::set<std::string> want;
    if (shape.base == "Default" || shape.base == "AllProperties") want = kMeetingFields;
    for (const auto &uri : shape.other_kind_uris) {
        for (const char *prefix : {"meeting:", "meetingRequest:", "calendar:"}) {
            const std::string p = prefix;
            if (uri.rfind(p, 0) == 0 && kMeetingFields.count(uri.substr(p.size())))
                want.insert(uri.substr(p.size()));
        }
    }
    if (shape.for_find)
        for (const auto &n : kNotInFind) want.erase(n);
    return want;
}

std::string duration_text(UnixTime seconds) {
    if (seconds < 0) seconds = 0;
    return "PT" + std::to_string(seconds / 3600) + "H" + std::to_string(seconds % 3600 / 60) + "M";
}

} // namespace

void render_meeting_fields(XmlOut &out, const OpEnv &env, const ItemInfo &info,
                           const StoredItem *stored, const ItemShape &shape) {
    const auto want = wanted(shape);
    if (want.empty()) return;
    std::optional<StoredItem> loaded;
    if (!stored) {
        loaded = env.store.load_item(info.mailbox, info.id);
        if (!loaded) return;
        stored = &*loaded;
    }
    auto on = [&](const char *name) { return want.count(name) > 0; };
    const CalendarData d = read_calendar(*stored);
    const bool request = info.item_class == kMeetingRequestClass;
    const char *type = d.recurrence ? "RecurringMaster" : "Single";
    if (on("AssociatedCalendarItemId"))
        if (auto item = find_meeting_calendar_item(env.store, info.mailbox, d.uid))
            out.open("t:AssociatedCalendarItemId").attr("Id", item_id_of(env, item->info))
                .attr("ChangeKey", item_change_key(env, item->info)).close();
    if (on("IsDelegated")) out.leaf_bool("t:IsDelegated", false);
    if (on("IsOutOfDate")) out.leaf_bool("t:IsOutOfDate", false);
    if (on("HasBeenProcessed")) out.leaf_bool("t:HasBeenProcessed", true);
    if (on("ResponseType")) out.leaf("t:ResponseType", d.my_response);
    if (on("UID")) out.leaf("t:UID", d.uid);
    if (on("DateTimeStamp")) out.leaf("t:DateTimeStamp", format_ews_time(info.date_sent.value_or(info.date_created)));
    if (!request) {
        // MeetingResponseMessageType
        if (on("Start")) out.leaf("t:Start", format_ews_time(d.start));
        if (on("End")) out.leaf("t:End", format_ews_time(d.end));
        if (on("Location") && !d.location.empty()) out.leaf("t:Location", d.location);
        if (on("CalendarItemType")) out.leaf("t:CalendarItemType", type);
        return;
    }
    if (on("MeetingRequestType")) out.leaf("t:MeetingRequestType", "NewMeetingRequest");
    if (on("IntendedFreeBusyStatus")) out.leaf("t:IntendedFreeBusyStatus", d.busy);
    if (on("Start")) out.leaf("t:Start", format_ews_time(d.start));
    if (on("End")) out.leaf("t:End", format_ews_time(d.end));
    if (on("IsAllDayEvent")) out.leaf_bool("t:IsAllDayEvent", d.all_day);
    if (on("LegacyFreeBusyStatus")) out.leaf("t:LegacyFreeBusyStatus", d.busy);
    if (on("Location") && !d.location.empty()) out.leaf("t:Location", d.location);
    if (on("IsMeeting")) out.leaf_bool("t:IsMeeting", true);
    if (on("IsCancelled")) out.leaf_bool("t:IsCancelled", false);
    if (on("IsRecurring")) out.leaf_bool("t:IsRecurring", d.recurrence.has_value());
    if (on("MeetingRequestWasSent")) out.leaf_bool("t:MeetingRequestWasSent", true);
    if (on("CalendarItemType")) out.leaf("t:CalendarItemType", type);
    if (on("MyResponseType")) out.leaf("t:MyResponseType", d.my_response);
    if (on("Organizer") && !info.from_address.empty()) {
        out.open("t:Organizer");
        write_mailbox(out, info.from_name, info.from_address);
        out.close();
    }
    if (on("RequiredAttendees")) write_attendees(out, "t:RequiredAttendees", d.required, false);
    if (on("OptionalAttendees")) write_attendees(out, "t:OptionalAttendees", d.optional, false);
    if (on("Duration")) out.leaf("t:Duration", duration_text(d.end - d.start));
    if (on("AppointmentState")) out.leaf("t:AppointmentState", 3); // a meeting received
}

} // namespace sandbox
