// GetItem, DeleteItem and FindItem's CalendarView for calendar items, and
// the ids that name occurrences.
#include "calendar_ops.hpp"

#include <algorithm>

#include "calendar_zone.hpp"

namespace sandbox {

namespace {

constexpr UnixTime kTwoYears = 2 * 366 * 86400; // the widest view Exchange serves

std::optional<ObjectRef> decode_item_id(OpEnv &env, const std::string &id, EwsError &error) {
    if (id.empty()) {
        error = ews_error("ErrorInvalidIdEmpty");
        return std::nullopt;
    }
    auto ref = env.store.ids().decode(id);
    if (!ref || ref->kind != IdKind::Item) {
        error = ews_error(ref && ref->kind == IdKind::Folder ? "ErrorCannotUseFolderIdForItemId"
                                                             : "ErrorInvalidIdMalformed");
        return std::nullopt;
    }
    return ref;
}

std::optional<ItemInfo> calendar_item(OpEnv &env, const ObjectRef &ref, EwsError &error) {
    std::optional<ItemInfo> info;
    if (env.may_open(ref.mailbox)) info = env.store.item(ref.mailbox, ref.object);
    if (!info) error = ews_error("ErrorItemNotFound");
    return info;
}

// One entry of a calendar view.
struct ViewEntry {
    ItemInfo info;
    UnixTime start = 0, end = 0;
    std::optional<OccurrenceView> occurrence;
    std::shared_ptr<const CalendarData> series; // keeps `occurrence.modified` alive
};

void add_entries(std::vector<ViewEntry> &out, const ItemInfo &info, const StoredItem &stored,
                 UnixTime from, UnixTime to) {
    auto d = std::make_shared<const CalendarData>(read_calendar(stored));
    auto overlaps = [&](UnixTime s, UnixTime e) { return s < to && e >= from; };
    if (!d->recurrence) {
        if (overlaps(d->start, d->end)) out.push_back({info, d->start, d->end, std::nullopt, d});
        return;
    }
    // An exception stays between its neighbours, so one moved into the view
    // comes from no further than one period beyond it.
    const UnixTime length = d->end - d->start;
    for (const auto &place : expand_series(*d, to + 400 * 86400, 100000)) {
        if (std::find(d->deleted.begin(), d->deleted.end(), place.start) != d->deleted.end()) continue;
        OccurrenceView v{place, nullptr};
        UnixTime s = place.start, e = place.start + length;
        for (const auto &m : d->modified)
            if (m.original_start == place.start) {
                v.modified = &m;
                s = m.start;
                e = m.end;
            }
        if (overlaps(s, e)) out.push_back({info, s, e, v, d});
    }
}

void write_find_count_error(ResponseWriter &w, int limit) {
    XmlOut &out = w.out();
    out.open("m:FindItemResponseMessage").attr("ResponseClass", "Error");
    out.leaf("m:MessageText", "You have exceeded the maximum number of objects that can be returned "
                              "for the find operation. Use paging to reduce the result size and try "
                              "your request again.");
    out.leaf("m:ResponseCode", "ErrorExceededFindCountLimit").leaf("m:DescriptiveLinkKey", 0);
    out.open("m:MessageXml").open("t:Value").attr("Name", "PolicyLimit").text(std::to_string(limit)).close().close();
    out.close();
}

std::optional<EwsError> view_error(xmlNodePtr op, xmlNodePtr view, UnixTime &from, UnixTime &to) {
    if (child(op, "Restriction") || child(op, "SortOrder"))
        return ews_error("ErrorInvalidRestriction",
                         "Restrictions and sort order may not be specified for a CalendarView.");
    auto start = parse_ews_time(attribute(view, "StartDate").value_or(""));
    auto end = parse_ews_time(attribute(view, "EndDate").value_or(""));
    if (!start || !end) return ews_error("ErrorInvalidRequest", "The calendar view's dates are not valid.");
    from = *start;
    to = *end;
    if (to < from)
        return ews_error("ErrorCalendarEndDateIsEarlierThanStartDate",
                         "The end date is earlier than the start date.");
    if (auto max = attribute(view, "MaxEntriesReturned"); max && std::stoll(*max) <= 0)
        return ews_error("ErrorInvalidPagingMaxRows");
    if (to - from > kTwoYears)
        return ews_error("ErrorCalendarViewRangeTooBig",
                         "The specified view range exceeds the maximum range of two years.");
    return std::nullopt;
}

} // namespace

std::optional<ItemRef> resolve_calendar_id(OpEnv &env, xmlNodePtr id_element, EwsError &error) {
    const std::string kind = local_name(id_element);
    if (kind == "OccurrenceItemId") {
        auto ref = decode_item_id(env, attribute(id_element, "RecurringMasterId").value_or(""), error);
        if (!ref) return std::nullopt;
        auto info = calendar_item(env, *ref, error);
        if (!info) return std::nullopt;
        int index = 0;
        try {
            index = std::stoi(attribute(id_element, "InstanceIndex").value_or("0"));
        } catch (...) {
        }
        if (ref->sub != 0 || !is_calendar_class(info->item_class) || index < 1) {
            error = ews_error("ErrorCalendarCannotUseIdForOccurrenceId",
                              "The id does not name a recurring master.");
            return std::nullopt;
        }
        ItemRef r{std::move(*info), attribute(id_element, "ChangeKey")};
        r.occurrence = index;
        return r;
    }
    // RecurringMasterItemId: the master of the occurrence the id names.
    auto ref = decode_item_id(env, attribute(id_element, "OccurrenceId").value_or(""), error);
    if (!ref) return std::nullopt;
    auto info = calendar_item(env, *ref, error);
    if (!info) return std::nullopt;
    auto stored = env.store.load_item(info->mailbox, info->id);
    if (!stored || !is_calendar_class(info->item_class) || !read_calendar(*stored).recurrence) {
        error = ews_error("ErrorCalendarCannotUseIdForRecurringMasterId",
                          "The id does not name an occurrence of a recurring series.");
        return std::nullopt;
    }
    return ItemRef{std::move(*info), attribute(id_element, "ChangeKey")};
}

void get_calendar_item(OpEnv &env, ResponseWriter &w, const ItemRef &ref, const ItemShape &shape) {
    auto stored = env.store.load_item(ref.info.mailbox, ref.info.id);
    if (!stored) {
        w.error(ews_error("ErrorItemNotFound"), "m:Items");
        return;
    }
    const CalendarData d = read_calendar(*stored);
    std::optional<OccurrenceView> occurrence;
    if (ref.occurrence) {
        EwsError error;
        occurrence = occurrence_at(d, ref.occurrence, error);
        if (!occurrence) {
            w.error(error, "m:Items");
            return;
        }
    }
    w.begin_success().open("m:Items");
    render_calendar_item(w.out(), env, ref.info, &*stored, shape, occurrence ? &*occurrence : nullptr);
    w.out().close();
    w.end_message();
}

bool check_calendar_delete(xmlNodePtr op, const ItemRef &ref, EwsError &error) {
    if (!is_calendar_class(ref.info.item_class) || attribute(op, "SendMeetingCancellations")) return true;
    error = ews_error("ErrorSendMeetingCancellationsRequired",
                      "SendMeetingCancellations is required for calendar items.");
    return false;
}

bool delete_calendar_occurrence(OpEnv &env, ResponseWriter &w, xmlNodePtr, const ItemRef &ref) {
    if (!ref.occurrence) return false;
    EwsError error;
    StoreStatus st = env.store.update_item(
        ref.info.mailbox, ref.info.id, std::nullopt,
        [&](StoredItem &master) {
            CalendarData d = read_calendar(master);
            auto view = occurrence_at(d, ref.occurrence, error);
            if (!view) return false;
            const UnixTime original = view->place.start;
            std::erase_if(d.modified, [&](const ModifiedOccurrence &m) { return m.original_start == original; });
            d.deleted.push_back(original);
            write_calendar(master, d);
            return true;
        },
        nullptr);
    if (st == StoreStatus::NotFound) error = ews_error("ErrorItemNotFound");
    if (!error.code.empty()) w.error(error);
    else {
        w.begin_success();
        w.end_message();
    }
    return true;
}

OperationResult find_calendar_view(OpEnv &env, xmlNodePtr op) {
    ResponseWriter w("FindItem");
    EwsError error;
    auto shape = parse_item_shape(child(op, "ItemShape"), true, env.ctx.requested_version, error);
    xmlNodePtr view = child(op, "CalendarView");
    UnixTime from = 0, to = 0;
    if (shape)
        if (auto e = view_error(op, view, from, to)) {
            error = *e;
            shape.reset();
        }
    const int policy = env.config.max_page_entries;
    int max_entries = -1;
    if (auto m = attribute(view, "MaxEntriesReturned")) max_entries = std::stoi(*m);
    for (xmlNodePtr id : children(child(op, "ParentFolderIds"))) {
        std::optional<FolderInfo> folder;
        if (shape) folder = resolve_folder(env, id, error);
        if (folder && folder->folder_class.rfind("IPF.Appointment", 0) != 0) {
            error = ews_error("ErrorCalendarFolderIsInvalidForCalendarView",
                              "A CalendarView can only be used on a calendar folder.");
            folder.reset();
        }
        if (!folder) {
            w.error(error);
            continue;
        }
        std::vector<ViewEntry> entries;
        for (const ItemInfo &info : env.store.items_in_folder(folder->mailbox, folder->id)) {
            if (!is_calendar_class(info.item_class)) continue;
            if (auto stored = env.store.load_item(info.mailbox, info.id)) add_entries(entries, info, *stored, from, to);
        }
        std::stable_sort(entries.begin(), entries.end(), [](const ViewEntry &a, const ViewEntry &b) {
            return a.start != b.start ? a.start < b.start : a.end < b.end;
        });
        const std::size_t total = entries.size();
        if (total > static_cast<std::size_t>(policy) && (max_entries < 0 || max_entries > policy)) {
            write_find_count_error(w, policy);
            continue;
        }
        std::size_t shown = max_entries < 0 ? total : std::min(total, static_cast<std::size_t>(max_entries));
        XmlOut &out = w.begin_success();
        out.open("m:RootFolder").attr("TotalItemsInView", static_cast<std::int64_t>(total));
        out.attr("IncludesLastItemInRange", shown == total ? "true" : "false");
        out.open("t:Items");
        for (std::size_t i = 0; i < shown; ++i) {
            const ViewEntry &e = entries[i];
            auto stored = env.store.load_item(e.info.mailbox, e.info.id);
            render_calendar_item(out, env, e.info, stored ? &*stored : nullptr, *shape,
                                 e.occurrence ? &*e.occurrence : nullptr);
        }
        out.close().close();
        w.end_message();
    }
    return w.finish();
}

} // namespace sandbox
