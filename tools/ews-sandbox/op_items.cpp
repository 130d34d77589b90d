// FindItem, GetItem and DeleteItem.
#include <algorithm>

#include "calendar_ops.hpp"
#include "find_query.hpp"
#include "item_props.hpp"
#include "item_render.hpp"
#include "ops_common.hpp"

namespace sandbox {

namespace {

using K = Scalar::Kind;

FieldAccess<ItemInfo> time_field(std::function<std::optional<UnixTime>(const ItemInfo &)> get) {
    return {K::Integer, true, [get](const ItemInfo &i) -> std::optional<Scalar> {
                auto t = get(i);
                if (!t) return std::nullopt;
                return Scalar{K::Integer, *t, {}};
            }};
}

FieldAccess<ItemInfo> number_field(std::function<std::int64_t(const ItemInfo &)> get,
                                   K kind = K::Integer) {
    return {kind, false, [get, kind](const ItemInfo &i) -> std::optional<Scalar> {
                return Scalar{kind, get(i), {}};
            }};
}

FieldAccess<ItemInfo> text_field(std::function<std::string(const ItemInfo &)> get) {
    return {K::Text, false, [get](const ItemInfo &i) -> std::optional<Scalar> {
                return Scalar{K::Text, 0, get(i)};
            }};
}

// The item properties FindItem can restrict and sort on.
FieldResolver<ItemInfo> item_fields() {
    return [](xmlNodePtr path) -> std::optional<FieldAccess<ItemInfo>> {
        if (local_name(path) == "ExtendedFieldURI") {
            EwsError ignored;
            auto p = parse_prop_path(path, ignored);
            if (p && p->id == "0xe07" && p->type == "Integer") // PR_MESSAGE_FLAGS
                return number_field([](const ItemInfo &i) { return i.message_flags; });
            return std::nullopt;
        }
        std::string uri = attribute(path, "FieldURI").value_or("");
        if (uri == "item:DateTimeSent") return time_field([](const ItemInfo &i) { return i.date_sent; });
        if (uri == "item:DateTimeReceived")
            return time_field([](const ItemInfo &i) { return std::optional<UnixTime>(i.date_received); });
        if (uri == "item:DateTimeCreated")
            return time_field([](const ItemInfo &i) { return std::optional<UnixTime>(i.date_created); });
        if (uri == "item:LastModifiedTime")
            return time_field([](const ItemInfo &i) { return std::optional<UnixTime>(i.last_modified); });
        if (uri == "item:Size") return number_field([](const ItemInfo &i) { return i.size; });
        if (uri == "message:IsRead")
            return number_field([](const ItemInfo &i) -> std::int64_t { return i.is_read(); }, K::Boolean);
        if (uri == "item:HasAttachments")
            return number_field([](const ItemInfo &i) -> std::int64_t { return i.has_attachments; },
                                K::Boolean);
        if (uri == "item:Subject") return text_field([](const ItemInfo &i) { return i.subject; });
        if (uri == "item:ItemClass") return text_field([](const ItemInfo &i) { return i.item_class; });
        if (uri == "message:InternetMessageId")
            return text_field([](const ItemInfo &i) { return i.message_id; });
        if (uri == "message:From") return text_field([](const ItemInfo &i) { return i.from_address; });
        if (uri == "item:DisplayTo") return text_field([](const ItemInfo &i) { return i.display_to; });
        return std::nullopt;
    };
}

// Without a SortOrder Exchange lists a folder as its default view does:
// newest received first.
bool default_order(const ItemInfo &a, const ItemInfo &b) {
    if (a.date_received != b.date_received) return a.date_received > b.date_received;
    return a.id > b.id;
}

const char *kUnsupportedViews[] = {"FractionalPageItemView", "SeekToConditionPageItemView",
                                   "ContactsView", "GroupBy",
                                   "DistinguishedGroupBy", "QueryString"};

EwsError calendar_only_error(const ItemShape &shape) {
    EwsError e = ews_error("ErrorInvalidPropertyRequest");
    e.field_uri = shape.calendar_only_uri;
    return e;
}

} // namespace

OperationResult op_find_item(OpEnv &env, xmlNodePtr op) {
    if (child(op, "CalendarView")) return find_calendar_view(env, op);
    ResponseWriter w("FindItem");
    EwsError error;
    std::string traversal = attribute(op, "Traversal").value_or("Shallow");
    auto shape = parse_item_shape(child(op, "ItemShape"), true, env.ctx.requested_version, error);
    bool ok = static_cast<bool>(shape);
    for (const char *name : kUnsupportedViews) {
        if (ok && child(op, name)) {
            error = ews_error("ErrorInvalidOperation", std::string(name) + " is not supported by the sandbox.");
            ok = false;
        }
    }
    std::optional<PageRequest> page;
    if (ok) page = parse_page_view(child(op, "IndexedPageItemView"), error);
    ok = ok && page;
    auto fields = item_fields();
    RowFilter<ItemInfo> filter;
    std::function<bool(const ItemInfo &, const ItemInfo &)> order;
    if (ok) filter = parse_restriction<ItemInfo>(child(op, "Restriction"), fields, error, ok);
    if (ok) order = parse_sort_order<ItemInfo>(child(op, "SortOrder"), fields, error, ok);
    for (xmlNodePtr id : children(child(op, "ParentFolderIds"))) {
        std::optional<FolderInfo> folder;
        if (ok) folder = resolve_folder(env, id, error);
        if (folder && !shape->calendar_only_uri.empty() && folder->folder_class.rfind("IPF.Appointment", 0) != 0) {
            error = calendar_only_error(*shape);
            folder.reset();
        }
        if (!folder) {
            w.error(error);
            continue;
        }
        std::vector<ItemInfo> found;
        // Soft-deleted and associated items are never listed: the sandbox keeps none.
        if (traversal == "Shallow") found = env.store.items_in_folder(folder->mailbox, folder->id);
        if (filter)
            found.erase(std::remove_if(found.begin(), found.end(),
                                       [&](const ItemInfo &i) { return !filter(i); }),
                        found.end());
        std::stable_sort(found.begin(), found.end(), default_order);
        if (order) std::stable_sort(found.begin(), found.end(), order);
        PageWindow win = page_window(found.size(), *page, env.config.max_page_entries);
        XmlOut &out = w.begin_success();
        out.open("m:RootFolder");
        write_paging_attributes(out, *page, win, found.size());
        out.open("t:Items");
        for (std::size_t i = win.begin; i < win.end; ++i) {
            std::optional<StoredItem> stored;
            if (shape->needs_stored_item()) stored = env.store.load_item(found[i]);
            render_item(out, env, found[i], stored ? &*stored : nullptr, *shape);
        }
        out.close().close();
        w.end_message();
    }
    return w.finish();
}

OperationResult op_get_item(OpEnv &env, xmlNodePtr op) {
    ResponseWriter w("GetItem");
    EwsError error;
    auto shape = parse_item_shape(child(op, "ItemShape"), false, env.ctx.requested_version, error);
    for (xmlNodePtr id : children(child(op, "ItemIds"))) {
        std::optional<ItemRef> ref;
        if (shape) ref = resolve_item(env, id, error);
        std::optional<StoredItem> stored;
        if (ref && shape->needs_stored_item()) {
            stored = env.store.load_item(ref->info);
            if (!stored) {
                ref.reset();
                error = ews_error("ErrorItemNotFound");
            }
        }
        if (!ref) {
            w.error(error, "m:Items");
            continue;
        }
        if (is_calendar_class(ref->info.item_class)) {
            get_calendar_item(env, w, *ref, *shape);
            continue;
        }
        if (!shape->calendar_only_uri.empty()) {
            w.error(calendar_only_error(*shape), "m:Items");
            continue;
        }
        w.begin_success().open("m:Items");
        render_item(w.out(), env, ref->info, stored ? &*stored : nullptr, *shape);
        w.out().close();
        w.end_message();
    }
    return w.finish();
}

OperationResult op_delete_item(OpEnv &env, xmlNodePtr op) {
    ResponseWriter w("DeleteItem");
    std::string type = attribute(op, "DeleteType").value_or("");
    for (xmlNodePtr id : children(child(op, "ItemIds"))) {
        EwsError error;
        auto ref = resolve_item(env, id, error);
        if (ref && !check_calendar_delete(op, *ref, error)) ref.reset();
        if (!ref) {
            w.error(error);
            continue;
        }
        if (delete_calendar_occurrence(env, w, op, *ref)) continue;
        const ItemInfo &item = ref->info;
        StoreStatus st;
        if (type == "HardDelete") {
            st = env.store.delete_item(item.mailbox, item.id);
        } else {
            // MoveToDeletedItems moves to Deleted Items, unless the item is
            // already there; then, as SoftDelete, to the dumpster.
            auto deleted = env.store.distinguished_folder(item.mailbox, "deleteditems");
            bool to_dumpster = type == "SoftDelete" || !deleted || deleted->id == item.folder;
            auto target = to_dumpster ? env.store.distinguished_folder(item.mailbox, "recoverableitemsdeletions")
                                      : deleted;
            // A move gives the item a new id; the one the client holds now names nothing.
            st = target ? env.store.move_item(item.mailbox, item.id, *target) : StoreStatus::NotFound;
        }
        if (st != StoreStatus::Ok) {
            w.error(ews_error("ErrorItemNotFound"));
            continue;
        }
        w.begin_success();
        w.end_message();
    }
    return w.finish();
}

} // namespace sandbox
