// CreateItem and UpdateItem for messages.
#include <chrono>

#include "contact_item.hpp"
#include "calendar_ops.hpp"
#include "item_props.hpp"
#include "item_render.hpp"
#include "meeting_messages.hpp"
#include "mime_build.hpp"
#include "mime_summary.hpp"
#include "ops_common.hpp"
#include "task_item.hpp"

namespace sandbox {

namespace {

constexpr std::int64_t kFlagRead = 0x1;
constexpr std::int64_t kFlagUnsent = 0x8;

UnixTime now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::optional<int> sensitivity_value(const std::string &s) {
    if (s == "Normal") return 0;
    if (s == "Personal") return 1;
    if (s == "Private") return 2;
    if (s == "Confidential") return 3;
    return std::nullopt;
}

std::optional<int> importance_value(const std::string &s) {
    if (s == "Low") return 0;
    if (s == "Normal") return 1;
    if (s == "High") return 2;
    return std::nullopt;
}

std::vector<MailAddress> recipients(xmlNodePtr list) {
    std::vector<MailAddress> out;
    for (xmlNodePtr m : children(list, "Mailbox"))
        out.push_back({node_text(child(m, "Name")), node_text(child(m, "EmailAddress"))});
    return out;
}

// Applies one first-class element of a <t:Message> to the item; false with
// `error` when the element cannot be stored.  Elements the sandbox does not
// keep are refused rather than dropped.
bool apply_element(StoredItem &item, xmlNodePtr e, bool creating, EwsError &error) {
    std::string name = local_name(e);
    std::string text = node_text(e);
    ItemInfo &i = item.info;
    if (name == "MimeContent") return true; // taken before
    if (name == "ExtendedProperty") {
        auto value = parse_extended_property(e, error);
        return value && write_property(item, *value, error);
    }
    if (name == "ItemClass") i.item_class = text;
    else if (name == "Subject") i.subject = text;
    else if (name == "IsRead") i.message_flags = text == "true" || text == "1"
                                                     ? i.message_flags | kFlagRead
                                                     : i.message_flags & ~kFlagRead;
    else if (name == "Categories") {
        i.categories.clear();
        for (xmlNodePtr s : children(e, "String")) i.categories.push_back(node_text(s));
    } else if (name == "Importance" && importance_value(text)) i.importance = *importance_value(text);
    else if (name == "Sensitivity" && sensitivity_value(text)) i.sensitivity = *sensitivity_value(text);
    else if (const ElementProperty *p = element_property(name)) {
        if (!set_element_property(item, *p, text)) {
            error = ews_error("ErrorInvalidPropertySet", "The value of " + name + " is not valid.");
            return false;
        }
    }
    else if (creating && (name == "Body" || name == "ToRecipients" || name == "CcRecipients" ||
                          name == "BccRecipients" || name == "From" || name == "Attachments"))
        return true; // made part of the MIME text
    else {
        error = ews_error("ErrorInvalidPropertySet",
                          "The sandbox cannot store the property " + name + " of a message.");
        return false;
    }
    return true;
}

// The stored form of a <t:Message> of CreateItem.
std::optional<StoredItem> message_from_element(OpEnv &env, xmlNodePtr msg, EwsError &error) {
    StoredItem item;
    if (xmlNodePtr mc = child(msg, "MimeContent")) {
        std::string copied;
        auto bytes = base64_decode_lenient(node_text_view(mc, copied));
        if (!bytes) {
            error = ews_error("ErrorMimeContentInvalidBase64String");
            return std::nullopt;
        }
        item.mime = std::move(*bytes);
    } else {
        SimpleMessage m;
        m.subject = node_text(child(msg, "Subject"));
        if (xmlNodePtr body = child(msg, "Body")) {
            m.body = node_text(body);
            m.body_is_html = attribute(body, "BodyType").value_or("Text") == "HTML";
        }
        m.to = recipients(child(msg, "ToRecipients"));
        m.cc = recipients(child(msg, "CcRecipients"));
        m.bcc = recipients(child(msg, "BccRecipients"));
        auto from = recipients(child(msg, "From"));
        m.from = from.empty() ? MailAddress{"", env.home_address} : from.front();
        m.date = now();
        item.mime = build_mime(m);
    }
    // Attachments given with the message become parts of its MIME text, as
    // CreateAttachment would add them.
    for (xmlNodePtr a : children(child(msg, "Attachments"))) {
        if (local_name(a) != "FileAttachment") {
            error = ews_error("ErrorInvalidItemForOperationCreateItemAttachment",
                              "The sandbox adds file attachments only.");
            return std::nullopt;
        }
        auto file = file_attachment(a, error);
        if (!file) return std::nullopt;
        item.mime = append_attachment(item.mime, *file);
        if (item.mime.size() > env.config.max_message_bytes) break;
    }
    if (item.mime.size() > env.config.max_message_bytes) {
        error = ews_error("ErrorMessageSizeExceeded");
        return std::nullopt;
    }
    // A message saved with CreateItem is a draft until its flags say otherwise.
    item = message_item_from_mime(std::move(item.mime), now());
    for (xmlNodePtr e : children(msg))
        if (!apply_element(item, e, true, error)) return std::nullopt;
    return item;
}

void write_new_item(XmlOut &out, const OpEnv &env, const ItemInfo &info) {
    const char *element = !is_contact_class(info.item_class) ? "t:Message"
                          : is_list_class(info.item_class)   ? "t:DistributionList"
                                                             : "t:Contact";
    out.open("m:Items").open(element);
    out.open("t:ItemId").attr("Id", item_id_of(env, info)).attr("ChangeKey", item_change_key(env, info)).close();
    out.close().close();
}

// One SetItemField / AppendToItemField / DeleteItemField.
bool apply_update(StoredItem &item, xmlNodePtr change, EwsError &error) {
    if (is_task(item.info)) return apply_task_update(item, change, error);
    std::string action = local_name(change);
    xmlNodePtr path = nullptr;
    xmlNodePtr value = nullptr;
    for (xmlNodePtr c : children(change)) {
        std::string n = local_name(c);
        if (n == "FieldURI" || n == "ExtendedFieldURI" || n == "IndexedFieldURI") path = c;
        else value = c;
    }
    if (!path) {
        error = ews_error("ErrorInvalidRequest", "The change names no property.");
        return false;
    }
    auto props = children(value);
    if (action != "DeleteItemField" && props.size() != 1) {
        error = ews_error("ErrorIncorrectUpdatePropertyCount",
                          "An object within a change description must contain one and only one "
                          "property to modify.");
        return false;
    }
    if (local_name(path) == "ExtendedFieldURI") {
        auto p = parse_prop_path(path, error);
        if (!p) return false;
        if (action == "DeleteItemField") return delete_property(item, *p, error);
        if (action == "AppendToItemField") {
            error = ews_error("ErrorInvalidPropertyAppend", "Extended properties cannot be appended to.");
            return false;
        }
        if (local_name(value) != "Message" && local_name(value) != "Item") {
            error = ews_error("ErrorObjectTypeChanged", "The item is a message.");
            return false;
        }
        auto v = parse_extended_property(props.front(), error);
        if (!v) return false;
        if (v->id != p->id || v->type != p->type) {
            error = ews_error("ErrorInvalidPropertySet",
                              "The property in the change differs from the one it names.");
            return false;
        }
        return write_property(item, *v, error);
    }
    std::string uri = attribute(path, "FieldURI").value_or("");
    bool applies = false;
    field_for_uri(uri, applies);
    if (!applies) {
        error = ews_error("ErrorInvalidPropertyRequest");
        error.field_uri = uri;
        return false;
    }
    if (action == "DeleteItemField") {
        if (uri == "item:Categories") {
            item.info.categories.clear();
            return true;
        }
        error = ews_error("ErrorInvalidPropertyDelete", "The property " + uri + " cannot be deleted.");
        return false;
    }
    if (action == "AppendToItemField") {
        error = ews_error("ErrorInvalidPropertyAppend", "The sandbox does not append to " + uri + ".");
        return false;
    }
    if (local_name(value) != "Message" && local_name(value) != "Item") {
        error = ews_error("ErrorObjectTypeChanged", "The item is a message.");
        return false;
    }
    std::string element = local_name(props.front());
    if (uri.substr(uri.find(':') + 1) != element) {
        error = ews_error("ErrorInvalidPropertySet", "The change sets " + element + " but names " + uri + ".");
        return false;
    }
    return apply_element(item, props.front(), false, error);
}

} // namespace

OperationResult op_create_item(OpEnv &env, xmlNodePtr op) {
    ResponseWriter w("CreateItem");
    auto disposition = attribute(op, "MessageDisposition");
    EwsError folder_error;
    std::optional<FolderInfo> folder;
    if (xmlNodePtr saved = child(op, "SavedItemFolderId")) {
        folder = resolve_target_folder(env, saved, folder_error);
    } else if (disposition && *disposition != "SendOnly") {
        // Exchange saves to Drafts, or to Sent Items when sending.
        folder = env.store.distinguished_folder(env.home, *disposition == "SaveOnly" ? "drafts" : "sentitems");
        if (!folder) folder_error = ews_error("ErrorFolderNotFound");
    }
    // Messages to save wait here and are stored in one transaction (a
    // commit per message was a quarter of the work); every answer still
    // comes in the order of the request.
    std::vector<StoredItem> pending;
    auto store_pending = [&] {
        if (pending.empty()) return;
        const std::vector<ItemInfo> made = env.store.add_items(pending);
        for (const ItemInfo &info : made) {
            if (*disposition == "SaveOnly") write_new_item(w.begin_success(), env, info);
            else w.begin_success().empty("m:Items");
            w.end_message();
        }
        pending.clear();
    };
    for (xmlNodePtr e : children(child(op, "Items"))) {
        std::string kind = local_name(e);
        EwsError error;
        const bool message = kind == "Message" || kind == "Item";
        if (!message || !disposition) store_pending();
        if (kind == "Task") {
            create_task(env, w, e, child(op, "SavedItemFolderId") != nullptr, folder, folder_error);
            continue;
        }
        if (is_contact_element(e)) {
            create_contact_item(env, w, e, folder, child(op, "SavedItemFolderId") != nullptr, folder_error);
            continue;
        }
        if (is_meeting_response_element(e)) {
            create_meeting_response(env, w, op, e);
            continue;
        }
        if (kind == "CalendarItem") {
            create_calendar_item(env, w, op, e);
            continue;
        }
        if (!message) {
            w.error(ews_error("ErrorInvalidItemForOperationCreateItem",
                              "The sandbox stores messages only, not " + kind + " items."),
                    "m:Items");
            continue;
        }
        if (!disposition) {
            w.error(ews_error("ErrorMessageDispositionRequired"), "m:Items");
            continue;
        }
        bool saves = *disposition != "SendOnly";
        if (saves && !folder) {
            store_pending(); // their answers come first
            w.error(folder_error, "m:Items");
            continue;
        }
        auto item = message_from_element(env, e, error);
        if (!item) {
            store_pending();
            w.error(error, "m:Items");
            continue;
        }
        // Nothing is delivered: a sent message only leaves its saved copy.
        if (!saves) {
            store_pending();
            w.begin_success().empty("m:Items");
            w.end_message();
            continue;
        }
        item->info.mailbox = folder->mailbox;
        item->info.folder = folder->id;
        if (*disposition == "SendAndSaveCopy") item->info.message_flags &= ~kFlagUnsent;
        pending.push_back(std::move(*item));
    }
    store_pending();
    return w.finish();
}

OperationResult op_update_item(OpEnv &env, xmlNodePtr op) {
    ResponseWriter w("UpdateItem");
    std::string conflict = attribute(op, "ConflictResolution").value_or("AutoResolve");
    auto disposition = attribute(op, "MessageDisposition");
    for (xmlNodePtr change : children(child(op, "ItemChanges"), "ItemChange")) {
        EwsError error;
        // ItemId, OccurrenceItemId or RecurringMasterItemId comes first.
        auto ids = children(change);
        auto ref = resolve_item(env, ids.empty() ? nullptr : ids.front(), error);
        if (!ref) {
            w.error(error, "m:Items");
            continue;
        }
        if (is_calendar_class(ref->info.item_class)) {
            update_calendar_item(env, w, op, change, *ref);
            continue;
        }
        if (!disposition && !is_contact_class(ref->info.item_class)) {
            w.error(ews_error("ErrorMessageDispositionRequired"), "m:Items");
            continue;
        }
        std::optional<std::int64_t> expected;
        if (ref->change_key) {
            ObjectRef object{IdKind::Item, ref->info.mailbox, ref->info.id, 0};
            auto version = env.store.ids().change_key_version(object, *ref->change_key);
            if (!version) {
                w.error(ews_error("ErrorInvalidChangeKey"), "m:Items");
                continue;
            }
            // Only NeverOverwrite refuses to write over a newer version.
            if (conflict == "NeverOverwrite") expected = *version;
        } else if (conflict == "NeverOverwrite") {
            w.error(ews_error("ErrorChangeKeyRequiredForWriteOperations"), "m:Items");
            continue;
        }
        bool failed = false;
        ItemInfo updated;
        StoreStatus st = env.store.update_item(
            ref->info.mailbox, ref->info.id, expected,
            [&](StoredItem &item) {
                for (xmlNodePtr u : children(child(change, "Updates"))) {
                    bool contact = is_contact_class(item.info.item_class);
                    if (contact ? !apply_contact_update(env, item, u, error) : !apply_update(item, u, error)) {
                        failed = true;
                        return false;
                    }
                }
                item.info.last_modified = now();
                return true;
            },
            &updated);
        if (st == StoreStatus::Stale) error = ews_error("ErrorIrresolvableConflict");
        else if (st == StoreStatus::NotFound) error = ews_error("ErrorItemNotFound");
        if (failed || st != StoreStatus::Ok) {
            w.error(error, "m:Items");
            continue;
        }
        XmlOut &out = w.begin_success();
        write_new_item(out, env, updated);
        out.open("m:ConflictResults").leaf("t:Count", 0).close();
        w.end_message();
    }
    return w.finish();
}

} // namespace sandbox
