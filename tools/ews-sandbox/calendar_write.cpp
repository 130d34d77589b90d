// CreateItem and UpdateItem of calendar items.
#include <chrono>
#include <random>

#include "calendar_ical.hpp"
#include "calendar_ops.hpp"
#include "calendar_zone.hpp"
#include "item_props.hpp"
#include "meeting_messages.hpp"

namespace sandbox {

namespace {

UnixTime now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Elements clients send that carry nothing the sandbox shows back; they
// are accepted as Exchange accepts them and not kept.
bool accepted_not_kept(const std::string &name) {
    static const char *names[] = {"Culture", "ReminderDueBy", "When", "ConferenceType",
                                  "AllowNewTimeProposal", "MeetingWorkspaceUrl", "NetShowUrl",
                                  "IsOnlineMeeting", "InboxReminders"};
    for (const char *n : names)
        if (name == n) return true;
    return false;
}

std::vector<Attendee> attendees_of(xmlNodePtr list) {
    std::vector<Attendee> out;
    for (xmlNodePtr a : children(list, "Attendee")) {
        xmlNodePtr mailbox = child(a, "Mailbox");
        Attendee at;
        at.name = node_text(child(mailbox, "Name"));
        at.address = node_text(child(mailbox, "EmailAddress"));
        if (xmlNodePtr r = child(a, "ResponseType")) at.response = node_text(r);
        if (xmlNodePtr t = child(a, "LastResponseTime")) at.last_response = parse_ews_time(node_text(t));
        out.push_back(at);
    }
    return out;
}

std::string display_list(const std::vector<Attendee> &list) {
    std::string out;
    for (const auto &a : list) {
        if (!out.empty()) out += "; ";
        out += a.name.empty() ? a.address : a.name;
    }
    return out;
}

std::optional<int> sensitivity_value(const std::string &s) {
    static const char *names[] = {"Normal", "Personal", "Private", "Confidential"};
    for (int i = 0; i < 4; ++i)
        if (s == names[i]) return i;
    return std::nullopt;
}

bool set_zone(CalendarData &d, const std::string &id, EwsError &error) {
    if (!known_windows_zone(id)) {
        error = ews_error("ErrorCalendarInvalidTimeZone", "The time zone \"" + id + "\" is not known.");
        return false;
    }
    d.zone_id = id == "UTC" ? "" : id;
    return true;
}

// Applies one element of a <t:CalendarItem> to the item and its calendar
// fields; false with `error` for values that cannot be stored.
bool apply_element(StoredItem &item, CalendarData &d, xmlNodePtr e, EwsError &error) {
    const std::string name = local_name(e);
    const std::string text = node_text(e);
    ItemInfo &i = item.info;
    auto bad_value = [&]() {
        error = ews_error("ErrorInvalidPropertySet", "The value of " + name + " is not valid.");
        return false;
    };
    if (name == "ExtendedProperty") {
        auto value = parse_extended_property(e, error);
        return value && write_property(item, *value, error);
    }
    if (name == "ItemClass") {
        if (!is_calendar_class(text)) return bad_value();
        i.item_class = text;
    } else if (name == "Subject") i.subject = text;
    else if (name == "Sensitivity") {
        if (!sensitivity_value(text)) return bad_value();
        i.sensitivity = *sensitivity_value(text);
    } else if (name == "Importance") i.importance = text == "Low" ? 0 : text == "High" ? 2 : 1;
    else if (name == "Categories") {
        i.categories.clear();
        for (xmlNodePtr s : children(e, "String")) i.categories.push_back(node_text(s));
    } else if (name == "Body") {
        d.body = text;
        d.body_html = attribute(e, "BodyType").value_or("Text") == "HTML";
    } else if (const ElementProperty *p = element_property(name)) {
        if (!set_element_property(item, *p, text)) return bad_value();
    } else if (name == "UID") d.uid = text;
    else if (name == "Start" || name == "End") {
        auto t = parse_ews_time(text);
        if (!t) return bad_value();
        (name == "Start" ? d.start : d.end) = *t;
    } else if (name == "IsAllDayEvent") d.all_day = text == "true" || text == "1";
    else if (name == "LegacyFreeBusyStatus") d.busy = text;
    else if (name == "Location") d.location = text;
    else if (name == "RequiredAttendees") d.required = attendees_of(e);
    else if (name == "OptionalAttendees") d.optional = attendees_of(e);
    else if (name == "Resources") d.resources = attendees_of(e);
    else if (name == "Recurrence") {
        auto rule = parse_recurrence(e, error);
        if (!rule) return false;
        d.recurrence = *rule;
    } else if (name == "MeetingTimeZone") {
        auto zone = attribute(e, "TimeZoneName");
        if (!zone) {
            error = ews_error("ErrorCalendarInvalidTimeZone",
                              "The sandbox knows zones by name: MeetingTimeZone needs TimeZoneName.");
            return false;
        }
        return set_zone(d, *zone, error);
    } else if (name == "StartTimeZone" || name == "EndTimeZone") {
        // One zone serves both ends; the start's decides.
        std::string id = attribute(e, "Id").value_or("");
        if (name == "EndTimeZone") return known_windows_zone(id) || set_zone(d, id, error);
        return set_zone(d, id, error);
    } else if (accepted_not_kept(name)) return true;
    else {
        error = ews_error("ErrorInvalidPropertySet",
                          "The sandbox cannot store the property " + name + " of a calendar item.");
        return false;
    }
    return true;
}

UnixTime local_midnight(const std::string &zone, UnixTime t, int add_days) {
    LocalTime l = utc_to_local(zone, t);
    UnixTime day = days_from_civil(l.year, static_cast<unsigned>(l.month), static_cast<unsigned>(l.day)) + add_days;
    // Back to a civil date through UTC noon of that day, which has no DST change.
    LocalTime date = utc_to_local("", day * 86400 + 43200);
    return local_to_utc(zone, {date.year, date.month, date.day, 0, 0, 0});
}

// The checks and derived values of a created or changed item: all-day
// events span whole local days, a series starts on its first occurrence.
bool settle(StoredItem &item, CalendarData &d, bool keep_exceptions, EwsError &error) {
    if (d.end < d.start) {
        error = ews_error("ErrorCalendarEndDateIsEarlierThanStartDate",
                          "The end date is earlier than the start date.");
        return false;
    }
    if (d.all_day) {
        UnixTime start = local_midnight(d.zone_id, d.start, 0);
        UnixTime end = local_midnight(d.zone_id, d.end, 0);
        if (end < d.end || end <= start) end = local_midnight(d.zone_id, std::max(d.end, start), 1);
        d.start = start;
        d.end = end;
    }
    if (d.recurrence) {
        auto first = first_series_start(d);
        if (!first) {
            error = ews_error("ErrorRecurrenceHasNoOccurrence", "The recurrence has no occurrence.");
            return false;
        }
        d.end = *first + (d.end - d.start);
        d.start = *first;
    }
    if (!keep_exceptions) {
        d.modified.clear();
        d.deleted.clear();
    }
    d.is_meeting = !d.required.empty() || !d.optional.empty() || !d.resources.empty() ||
                   d.my_response != "Organizer";
    item.info.display_to = display_list(d.required);
    item.info.display_cc = display_list(d.optional);
    return true;
}

bool read_mime_content(StoredItem &item, CalendarData &d, xmlNodePtr mime, EwsError &error) {
    auto bytes = base64_decode_lenient(node_text(mime));
    if (!bytes) {
        error = ews_error("ErrorMimeContentInvalidBase64String");
        return false;
    }
    return calendar_from_icalendar(*bytes, item.info.from_address, item, d, error);
}

std::string fresh_seed() {
    std::random_device rd;
    return std::to_string(rd()) + "-" + std::to_string(rd()) + "-" + std::to_string(now());
}

void write_calendar_id(XmlOut &out, const std::string &id, const std::string &change_key) {
    out.open("m:Items").open("t:CalendarItem");
    out.open("t:ItemId").attr("Id", id).attr("ChangeKey", change_key).close();
    out.close().close();
}

} // namespace

std::optional<ItemInfo> store_calendar_item(OpEnv &env, StoredItem &item, CalendarData &data, EwsError &error) {
    if (data.uid.empty()) data.uid = generated_uid(fresh_seed());
    if (!settle(item, data, true, error)) return std::nullopt;
    write_calendar(item, data);
    return env.store.add_item(item);
}

void create_calendar_item(OpEnv &env, ResponseWriter &w, xmlNodePtr op, xmlNodePtr element) {
    EwsError error;
    if (!attribute(op, "SendMeetingInvitations")) {
        w.error(ews_error("ErrorSendMeetingInvitationsRequired",
                          "SendMeetingInvitations is required for calendar items."),
                "m:Items");
        return;
    }
    std::optional<FolderInfo> folder;
    if (xmlNodePtr saved = child(op, "SavedItemFolderId")) folder = resolve_target_folder(env, saved, error);
    else if (!(folder = env.store.distinguished_folder(env.home, "calendar")))
        error = ews_error("ErrorFolderNotFound");
    if (!folder) {
        w.error(error, "m:Items");
        return;
    }
    StoredItem item;
    item.info.item_class = kAppointmentClass;
    item.info.mailbox = folder->mailbox;
    item.info.folder = folder->id;
    item.info.from_address = env.store.mailbox_address(folder->mailbox);
    item.info.from_name = item.info.from_address.substr(0, item.info.from_address.find('@'));
    item.info.message_flags = 0x1;
    item.info.date_received = item.info.date_created = item.info.last_modified = now();
    CalendarData d;
    bool has_end = false;
    if (xmlNodePtr mime = child(element, "MimeContent")) {
        // The item is made from the iCalendar first; elements given beside
        // it are set on the result, as on any item.
        if (!read_mime_content(item, d, mime, error)) {
            w.error(error, "m:Items");
            return;
        }
        has_end = true;
    }
    for (xmlNodePtr c : children(element)) {
        if (local_name(c) == "MimeContent") continue;
        if (!apply_element(item, d, c, error)) {
            w.error(error, "m:Items");
            return;
        }
        has_end = has_end || local_name(c) == "End";
    }
    if (!has_end) d.end = d.start + 1800; // Exchange's default length, half an hour
    std::optional<ItemInfo> made = store_calendar_item(env, item, d, error);
    if (!made) {
        w.error(error, "m:Items");
        return;
    }
    send_meeting_invitations(env, op, *made);
    write_calendar_id(w.begin_success(), occurrence_id(env, *made, 0), item_change_key(env, *made));
    w.end_message();
}

namespace {

// The changes of one ItemChange, applied to `item` and `d`; `occurrence`
// limits them to what an exception may change.
bool apply_changes(StoredItem &item, CalendarData &d, xmlNodePtr change, bool occurrence,
                   EwsError &error) {
    for (xmlNodePtr u : children(child(change, "Updates"))) {
        const std::string action = local_name(u);
        xmlNodePtr path = nullptr, value = nullptr;
        for (xmlNodePtr c : children(u)) {
            std::string n = local_name(c);
            if (n == "FieldURI" || n == "ExtendedFieldURI" || n == "IndexedFieldURI") path = c;
            else value = c;
        }
        std::string uri = attribute(path, "FieldURI").value_or("");
        std::string field = uri.substr(uri.find(':') + 1);
        if (action == "AppendToItemField") {
            error = ews_error("ErrorInvalidPropertyAppend", "The sandbox does not append to " + uri + ".");
            return false;
        }
        if (action == "DeleteItemField") {
            if (local_name(path) == "ExtendedFieldURI") {
                auto p = parse_prop_path(path, error);
                if (!p || !delete_property(item, *p, error)) return false;
            } else if (field == "RequiredAttendees") d.required.clear();
            else if (field == "OptionalAttendees") d.optional.clear();
            else if (field == "Resources") d.resources.clear();
            else if (field == "Categories") item.info.categories.clear();
            else if (field == "Location") d.location.clear();
            else if (field == "Body") d.body.clear();
            else if (field == "Recurrence" && !occurrence) d.recurrence.reset();
            else if (field == "Start" || field == "End" || field == "UID" ||
                     field == "Recurrence" || field == "Subject") {
                error = ews_error("ErrorInvalidPropertyDelete", "The property " + uri + " cannot be deleted.");
                return false;
            }
            // Any other property the sandbox does not keep for calendar
            // items: the item has none, so there is nothing to delete.
            continue;
        }
        auto props = children(value);
        if (props.size() != 1) {
            error = ews_error("ErrorIncorrectUpdatePropertyCount",
                              "An object within a change description must contain one and only one "
                              "property to modify.");
            return false;
        }
        if (local_name(value) != "CalendarItem" && local_name(value) != "Item") {
            error = ews_error("ErrorObjectTypeChanged", "The item is a calendar item.");
            return false;
        }
        if (occurrence && local_name(props.front()) == "Recurrence") {
            error = ews_error("ErrorCalendarInvalidPropertyState", "An occurrence has no recurrence of its own.");
            return false;
        }
        if (!apply_element(item, d, props.front(), error)) return false;
    }
    return true;
}

// An occurrence may move, but not onto or past its neighbours.
bool within_neighbours(const CalendarData &d, int index, UnixTime start, EwsError &error) {
    auto places = expand_series(d, INT64_MAX, static_cast<std::size_t>(index) + 1);
    auto shown = [&](const SeriesInstance &p) {
        for (const auto &m : d.modified)
            if (m.original_start == p.start) return m.start;
        return p.start;
    };
    bool ok = true;
    if (index >= 2) ok = shown(places[static_cast<std::size_t>(index) - 2]) < start;
    if (places.size() > static_cast<std::size_t>(index)) ok = ok && start < shown(places.back());
    if (!ok)
        error = ews_error("ErrorOccurrenceCrossingBoundary",
                          "An occurrence cannot be moved onto or past a neighbouring occurrence.");
    return ok;
}

// Makes the change of one occurrence an exception of its master.
bool change_occurrence(StoredItem &master, xmlNodePtr change, int index, EwsError &error) {
    CalendarData d = read_calendar(master);
    auto view = occurrence_at(d, index, error);
    if (!view) return false;
    // Work on a copy that shows the occurrence, then keep what differs.
    CalendarData shown = d;
    StoredItem scratch = master;
    shown.start = view->modified ? view->modified->start : view->place.start;
    shown.end = view->modified ? view->modified->end : view->place.start + (d.end - d.start);
    shown.recurrence.reset();
    if (view->modified) {
        shown.location = view->modified->location.value_or(d.location);
        shown.body = view->modified->body.value_or(d.body);
        shown.busy = view->modified->busy.value_or(d.busy);
        scratch.info.subject = view->modified->subject.value_or(master.info.subject);
    }
    if (!apply_changes(scratch, shown, change, true, error)) return false;
    if (shown.end < shown.start) {
        error = ews_error("ErrorCalendarEndDateIsEarlierThanStartDate",
                          "The end date is earlier than the start date.");
        return false;
    }
    if (!within_neighbours(d, index, shown.start, error)) return false;
    ModifiedOccurrence m;
    m.original_start = view->place.start;
    m.start = shown.start;
    m.end = shown.end;
    if (scratch.info.subject != master.info.subject) m.subject = scratch.info.subject;
    if (shown.location != d.location) m.location = shown.location;
    if (shown.body != d.body) m.body = shown.body;
    if (shown.busy != d.busy) m.busy = shown.busy;
    std::erase_if(d.modified, [&](const ModifiedOccurrence &o) { return o.original_start == m.original_start; });
    d.modified.push_back(m);
    write_calendar(master, d);
    return true;
}

} // namespace

void update_calendar_item(OpEnv &env, ResponseWriter &w, xmlNodePtr op, xmlNodePtr change,
                          const ItemRef &ref) {
    if (!attribute(op, "SendMeetingInvitationsOrCancellations")) {
        w.error(ews_error("ErrorSendMeetingInvitationsOrCancellationsRequired",
                          "SendMeetingInvitationsOrCancellations is required for calendar items."),
                "m:Items");
        return;
    }
    const std::string conflict = attribute(op, "ConflictResolution").value_or("AutoResolve");
    std::optional<std::int64_t> expected;
    if (ref.change_key) {
        auto version = env.store.ids().change_key_version(
            ObjectRef{IdKind::Item, ref.info.mailbox, ref.info.id, 0}, *ref.change_key);
        if (!version) {
            w.error(ews_error("ErrorInvalidChangeKey"), "m:Items");
            return;
        }
        if (conflict == "NeverOverwrite") expected = *version;
    } else if (conflict == "NeverOverwrite") {
        w.error(ews_error("ErrorChangeKeyRequiredForWriteOperations"), "m:Items");
        return;
    }
    EwsError error;
    bool failed = false;
    ItemInfo updated;
    StoreStatus st = env.store.update_item(
        ref.info.mailbox, ref.info.id, expected,
        [&](StoredItem &item) {
            bool ok;
            if (ref.occurrence) {
                ok = change_occurrence(item, change, ref.occurrence, error);
            } else {
                CalendarData d = read_calendar(item);
                const auto before = d.recurrence;
                const UnixTime start_before = d.start;
                ok = apply_changes(item, d, change, false, error);
                // A new pattern or start drops the exceptions, as Exchange does.
                bool same_series = d.start == start_before && before == d.recurrence;
                ok = ok && settle(item, d, same_series, error);
                if (ok) write_calendar(item, d);
            }
            failed = !ok;
            if (ok) item.info.last_modified = now();
            return ok;
        },
        &updated);
    if (st == StoreStatus::Stale) error = ews_error("ErrorIrresolvableConflict");
    else if (st == StoreStatus::NotFound) error = ews_error("ErrorItemNotFound");
    if (failed || st != StoreStatus::Ok) {
        w.error(error, "m:Items");
        return;
    }
    XmlOut &out = w.begin_success();
    write_calendar_id(out, occurrence_id(env, updated, ref.occurrence), item_change_key(env, updated));
    out.open("m:ConflictResults").leaf("t:Count", 0).close();
    w.end_message();
}

} // namespace sandbox
