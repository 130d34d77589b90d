#include "calendar_render.hpp"

#include <algorithm>
#include <set>

#include "calendar_ical.hpp"
#include "calendar_zone.hpp"
#include "item_attachments.hpp"

namespace sandbox {

namespace {

using F = Field;

// Calendar elements FindItem does not return (lists and series details
// need GetItem), as Exchange answers.
const std::set<std::string> kNotInFind = {
    "RequiredAttendees", "OptionalAttendees", "Resources", "Recurrence", "FirstOccurrence",
    "LastOccurrence", "ModifiedOccurrences", "DeletedOccurrences", "MeetingTimeZone",
    "ConflictingMeetings", "AdjacentMeetings"};

const std::set<std::string> kAllCalendar = {
    "UID", "RecurrenceId", "DateTimeStamp", "Start", "End", "OriginalStart", "IsAllDayEvent",
    "LegacyFreeBusyStatus", "Location", "IsMeeting", "IsCancelled", "IsRecurring",
    "MeetingRequestWasSent", "IsResponseRequested", "CalendarItemType", "MyResponseType",
    "Organizer", "RequiredAttendees", "OptionalAttendees", "Resources", "ConflictingMeetingCount",
    "AdjacentMeetingCount", "Duration", "AppointmentReplyTime", "AppointmentSequenceNumber",
    "AppointmentState", "Recurrence", "FirstOccurrence", "LastOccurrence", "ModifiedOccurrences",
    "DeletedOccurrences", "MeetingTimeZone", "StartTimeZone", "EndTimeZone"};

std::set<std::string> calendar_fields(const ItemShape &shape, int major_version) {
    std::set<std::string> want;
    if (shape.base == "Default" || shape.base == "AllProperties") want = kAllCalendar;
    for (const auto &uri : shape.other_kind_uris)
        if (uri.rfind("calendar:", 0) == 0) want.insert(uri.substr(9));
    // MeetingTimeZone went out with Exchange 2010's time zone definitions.
    if (major_version >= 15 && shape.base != "IdOnly") want.erase("MeetingTimeZone");
    if (shape.for_find)
        for (const auto &n : kNotInFind) want.erase(n);
    return want;
}

std::string duration_text(UnixTime seconds) {
    if (seconds < 0) seconds = 0;
    std::int64_t days = seconds / 86400, h = seconds % 86400 / 3600, m = seconds % 3600 / 60,
                 s = seconds % 60;
    std::string out = "P";
    if (days) out += std::to_string(days) + "D";
    if (h || m || s || !days) {
        out += "T";
        if (h) out += std::to_string(h) + "H";
        if (m) out += std::to_string(m) + "M";
        if (s || (!h && !m)) out += std::to_string(s) + "S";
    }
    return out;
}

// What one occurrence or the item itself shows.
struct Shown {
    UnixTime start = 0, end = 0;
    std::optional<UnixTime> original_start;
    std::string type = "Single";
    std::string subject, location, body, busy;
    std::string id;
};

Shown shown_of(const OpEnv &env, const ItemInfo &info, const CalendarData &d, const OccurrenceView *occ) {
    Shown s{d.start, d.end, std::nullopt, d.recurrence ? "RecurringMaster" : "Single",
            info.subject, d.location, d.body, d.busy, occurrence_id(env, info, 0)};
    if (!occ) return s;
    s.original_start = occ->place.start;
    s.start = occ->place.start;
    s.end = occ->place.start + (d.end - d.start);
    s.type = "Occurrence";
    s.id = occurrence_id(env, info, occ->place.index);
    if (const ModifiedOccurrence *m = occ->modified) {
        s.type = "Exception";
        s.start = m->start;
        s.end = m->end;
        s.subject = m->subject.value_or(s.subject);
        s.location = m->location.value_or(s.location);
        s.body = m->body.value_or(s.body);
        s.busy = m->busy.value_or(s.busy);
    }
    return s;
}

void write_occurrence_info(XmlOut &out, const char *element, const std::string &id,
                           const std::string &change_key, UnixTime start, UnixTime end,
                           UnixTime original) {
    out.open(element);
    out.open("t:ItemId").attr("Id", id).attr("ChangeKey", change_key).close();
    out.leaf("t:Start", format_ews_time(start)).leaf("t:End", format_ews_time(end));
    out.leaf("t:OriginalStart", format_ews_time(original)).close();
}

void write_series(XmlOut &out, const OpEnv &env, const ItemInfo &info, const CalendarData &d,
                  const std::set<std::string> &want) {
    const std::string key = item_change_key(env, info);
    const UnixTime length = d.end - d.start;
    if (want.count("Recurrence")) write_recurrence(out, *d.recurrence);
    bool bounded = d.recurrence->range != "NoEnd";
    auto all = expand_series(d, INT64_MAX, bounded ? kMaxSeriesInstances : 1);
    if (want.count("FirstOccurrence") && !all.empty())
        write_occurrence_info(out, "t:FirstOccurrence", occurrence_id(env, info, all.front().index), key,
                              all.front().start, all.front().start + length, all.front().start);
    if (want.count("LastOccurrence") && bounded && !all.empty())
        write_occurrence_info(out, "t:LastOccurrence", occurrence_id(env, info, all.back().index), key,
                              all.back().start, all.back().start + length, all.back().start);
    std::vector<ModifiedOccurrence> modified = d.modified;
    std::sort(modified.begin(), modified.end(),
              [](const auto &a, const auto &b) { return a.original_start < b.original_start; });
    if (want.count("ModifiedOccurrences") && !modified.empty()) {
        out.open("t:ModifiedOccurrences");
        for (const auto &m : modified) {
            int index = 0;
            for (const auto &p : expand_series(d, m.original_start + 1, kMaxSeriesInstances))
                if (p.start == m.original_start) index = p.index;
            write_occurrence_info(out, "t:Occurrence", occurrence_id(env, info, index), key, m.start,
                                  m.end, m.original_start);
        }
        out.close();
    }
    std::vector<UnixTime> deleted = d.deleted;
    std::sort(deleted.begin(), deleted.end());
    if (want.count("DeletedOccurrences") && !deleted.empty()) {
        out.open("t:DeletedOccurrences");
        for (UnixTime t : deleted) out.open("t:DeletedOccurrence").leaf("t:Start", format_ews_time(t)).close();
        out.close();
    }
}

void write_item_head(XmlOut &out, const OpEnv &env, const ItemInfo &info, const StoredItem &stored,
                     const ItemShape &shape, const Shown &s, const OccurrenceView *occurrence) {
    auto on = [&](F f) { return shape.has(f); };
    if (on(F::MimeContent) && !shape.for_find)
        out.open("t:MimeContent").attr("CharacterSet", "UTF-8")
            .text(base64_encode(calendar_item_mime(info, stored, occurrence))).close();
    write_item_identity(out, env, info, shape, s.id, s.subject);
    if (on(F::Body) && !shape.for_find) {
        const CalendarData d = read_calendar(stored);
        bool html = shape.body_type == "HTML" || (shape.body_type == "Best" && d.body_html);
        std::string text = s.body;
        if (html && !d.body_html) text = text_to_html(text);
        if (!html && d.body_html) text = html_to_text(text);
        out.open("t:Body").attr("BodyType", html ? "HTML" : "Text").text(text).close();
    }
    if (on(F::Attachments) && !shape.for_find) render_table_attachments(out, env, info);
    if (on(F::DateTimeReceived)) out.leaf("t:DateTimeReceived", format_ews_time(info.date_received));
    if (on(F::Size)) out.leaf("t:Size", info.size);
    if (on(F::Categories) && !info.categories.empty()) {
        out.open("t:Categories");
        for (const auto &c : info.categories) out.leaf("t:String", c);
        out.close();
    }
    if (on(F::Importance)) {
        static const char *names[] = {"Low", "Normal", "High"};
        out.leaf("t:Importance", names[std::clamp(info.importance, 0, 2)]);
    }
    if (on(F::IsSubmitted)) out.leaf_bool("t:IsSubmitted", false);
    if (on(F::IsDraft)) out.leaf_bool("t:IsDraft", false);
    if (on(F::IsFromMe)) out.leaf_bool("t:IsFromMe", false);
    if (on(F::IsResend)) out.leaf_bool("t:IsResend", false);
    if (on(F::IsUnmodified)) out.leaf_bool("t:IsUnmodified", false);
    if (on(F::DateTimeSent)) out.leaf("t:DateTimeSent", format_ews_time(info.date_created));
    if (on(F::DateTimeCreated)) out.leaf("t:DateTimeCreated", format_ews_time(info.date_created));
    const bool reminder = element_property_value(stored, "ReminderIsSet").value_or("false") == "true";
    if (on(F::ReminderIsSet)) out.leaf_bool("t:ReminderIsSet", reminder);
    if (on(F::ReminderMinutesBeforeStart))
        out.leaf("t:ReminderMinutesBeforeStart",
                 element_property_value(stored, "ReminderMinutesBeforeStart").value_or("15"));
    if (on(F::DisplayCc)) out.leaf("t:DisplayCc", info.display_cc);
    if (on(F::DisplayTo)) out.leaf("t:DisplayTo", info.display_to);
    if (on(F::HasAttachments)) out.leaf_bool("t:HasAttachments", info.has_attachments);
    for (const auto &path : shape.extended)
        if (auto v = read_property(stored, path)) write_extended_property_xml(out, path, *v);
    if (on(F::Culture)) out.leaf("t:Culture", "en-US");
    if (on(F::EffectiveRights)) {
        out.open("t:EffectiveRights");
        out.leaf_bool("t:CreateAssociated", false).leaf_bool("t:CreateContents", false);
        out.leaf_bool("t:CreateHierarchy", false).leaf_bool("t:Delete", true);
        out.leaf_bool("t:Modify", true).leaf_bool("t:Read", true).leaf_bool("t:ViewPrivateItems", true);
        out.close();
    }
    if (on(F::LastModifiedTime)) out.leaf("t:LastModifiedTime", format_ews_time(info.last_modified));
    if (on(F::IsAssociated)) out.leaf_bool("t:IsAssociated", false);
}

} // namespace

void write_attendees(XmlOut &out, const char *element, const std::vector<Attendee> &list,
                     bool with_response_times) {
    if (list.empty()) return;
    out.open(element);
    for (const auto &a : list) {
        out.open("t:Attendee");
        write_mailbox(out, a.name, a.address);
        out.leaf("t:ResponseType", a.response);
        if (with_response_times && a.last_response) out.leaf("t:LastResponseTime", format_ews_time(*a.last_response));
        out.close();
    }
    out.close();
}

std::string occurrence_id(const OpEnv &env, const ItemInfo &master, int index) {
    return env.store.ids().encode(
        {IdKind::Item, master.mailbox, master.id, static_cast<std::uint32_t>(index)});
}

std::optional<OccurrenceView> occurrence_at(const CalendarData &series, int index, EwsError &error) {
    const bool in_reach = index >= 1 && static_cast<std::size_t>(index) <= kMaxSeriesInstances;
    auto places = in_reach ? expand_series(series, INT64_MAX, static_cast<std::size_t>(index))
                           : std::vector<SeriesInstance>{};
    if (!series.recurrence || index < 1 || places.size() < static_cast<std::size_t>(index)) {
        error = ews_error("ErrorCalendarOccurrenceIndexIsOutOfRecurrenceRange",
                          "The occurrence index is out of the recurrence range.");
        return std::nullopt;
    }
    OccurrenceView v;
    v.place = places.back();
    if (std::find(series.deleted.begin(), series.deleted.end(), v.place.start) != series.deleted.end()) {
        error = ews_error("ErrorCalendarOccurrenceIsDeletedFromRecurrence",
                          "The occurrence was deleted from the recurrence.");
        return std::nullopt;
    }
    for (const auto &m : series.modified)
        if (m.original_start == v.place.start) v.modified = &m;
    return v;
}

void render_calendar_item(XmlOut &out, const OpEnv &env, const ItemInfo &info,
                          const StoredItem *stored, const ItemShape &shape,
                          const OccurrenceView *occurrence) {
    std::optional<StoredItem> loaded;
    if (!stored) {
        loaded = env.store.load_item(info.mailbox, info.id);
        if (!loaded) loaded = StoredItem{info, {}, {}};
        stored = &*loaded;
    }
    const CalendarData d = read_calendar(*stored);
    const Shown s = shown_of(env, info, d, occurrence);
    const auto want = calendar_fields(shape, env.config.major_version);
    auto on = [&](const char *name) { return want.count(name) > 0; };
    out.open("t:CalendarItem");
    write_item_head(out, env, info, *stored, shape, s, occurrence);
    if (on("UID")) out.leaf("t:UID", d.uid);
    if (on("RecurrenceId") && s.original_start) out.leaf("t:RecurrenceId", format_ews_time(*s.original_start));
    if (on("DateTimeStamp")) out.leaf("t:DateTimeStamp", format_ews_time(info.last_modified));
    if (on("Start")) out.leaf("t:Start", format_ews_time(s.start));
    if (on("End")) out.leaf("t:End", format_ews_time(s.end));
    if (on("OriginalStart") && s.original_start) out.leaf("t:OriginalStart", format_ews_time(*s.original_start));
    if (on("IsAllDayEvent")) out.leaf_bool("t:IsAllDayEvent", d.all_day);
    if (on("LegacyFreeBusyStatus")) out.leaf("t:LegacyFreeBusyStatus", s.busy);
    if (on("Location") && !s.location.empty()) out.leaf("t:Location", s.location);
    if (on("IsMeeting")) out.leaf_bool("t:IsMeeting", d.is_meeting);
    if (on("IsCancelled")) out.leaf_bool("t:IsCancelled", false);
    if (on("IsRecurring")) out.leaf_bool("t:IsRecurring", occurrence != nullptr);
    if (on("MeetingRequestWasSent")) out.leaf_bool("t:MeetingRequestWasSent", false);
    if (on("IsResponseRequested"))
        out.leaf_bool("t:IsResponseRequested",
                      element_property_value(*stored, "IsResponseRequested").value_or("true") == "true");
    if (on("CalendarItemType")) out.leaf("t:CalendarItemType", s.type);
    if (on("MyResponseType")) out.leaf("t:MyResponseType", d.my_response);
    if (on("Organizer") && !info.from_address.empty()) {
        out.open("t:Organizer");
        write_mailbox(out, info.from_name, info.from_address);
        out.close();
    }
    if (on("RequiredAttendees")) write_attendees(out, "t:RequiredAttendees", d.required, true);
    if (on("OptionalAttendees")) write_attendees(out, "t:OptionalAttendees", d.optional, true);
    if (on("Resources")) write_attendees(out, "t:Resources", d.resources, true);
    if (on("ConflictingMeetingCount")) out.leaf("t:ConflictingMeetingCount", 0);
    if (on("AdjacentMeetingCount")) out.leaf("t:AdjacentMeetingCount", 0);
    if (on("Duration")) out.leaf("t:Duration", duration_text(s.end - s.start));
    if (on("AppointmentReplyTime") && d.my_response != "Organizer" && d.my_response != "NoResponseReceived")
        out.leaf("t:AppointmentReplyTime", format_ews_time(info.last_modified));
    if (on("AppointmentSequenceNumber")) out.leaf("t:AppointmentSequenceNumber", 0);
    if (on("AppointmentState"))
        out.leaf("t:AppointmentState", d.is_meeting ? (d.my_response == "Organizer" ? 1 : 3) : 0);
    if (d.recurrence && !occurrence) write_series(out, env, info, d, want);
    if (on("MeetingTimeZone")) write_meeting_time_zone(out, d.zone_id, s.start);
    if (on("StartTimeZone")) write_zone_definition(out, "t:StartTimeZone", d.zone_id, s.start);
    if (on("EndTimeZone")) write_zone_definition(out, "t:EndTimeZone", d.zone_id, s.end);
    out.close();
}

} // namespace sandbox
