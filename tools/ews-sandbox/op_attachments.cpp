// CreateAttachment and GetAttachment.  A message's attachments live in its
// MIME text, so adding one rewrites the text (as Exchange's MIME content
// then shows it too) and gives the message a new change key.
#include <chrono>

#include "item_attachments.hpp"
#include "item_render.hpp"
#include "mime_build.hpp"
#include "mime_summary.hpp"
#include "ops_common.hpp"

namespace sandbox {

namespace {

UnixTime now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool parent_without_mime(OpEnv &env, const ItemInfo &parent) {
    auto stored = env.store.load_item(parent.mailbox, parent.id);
    return stored && attachments_in_table(*stored);
}

} // namespace

std::optional<NewFileAttachment> file_attachment(xmlNodePtr e, EwsError &error) {
    NewFileAttachment a;
    a.name = node_text(child(e, "Name"));
    if (a.name.empty()) {
        error = ews_error("ErrorRequiredPropertyMissing", "A name for the attachment must be provided.");
        return std::nullopt;
    }
    a.content_type = node_text(child(e, "ContentType"));
    a.content_id = node_text(child(e, "ContentId"));
    if (a.content_id.size() > 2 && a.content_id.front() == '<' && a.content_id.back() == '>')
        a.content_id = a.content_id.substr(1, a.content_id.size() - 2);
    a.is_inline = node_text(child(e, "IsInline")) == "true";
    auto content = base64_decode_lenient(node_text(child(e, "Content")));
    if (!content) {
        error = ews_error("ErrorInvalidRequest", "The attachment content is not valid base64.");
        return std::nullopt;
    }
    a.content = std::move(*content);
    return a;
}

OperationResult op_create_attachment(OpEnv &env, xmlNodePtr op) {
    ResponseWriter w("CreateAttachment");
    EwsError parent_error;
    // A message's ChangeKey is taken as given (a client may add several
    // attachments with the key CreateItem returned); items without MIME
    // text check it (item_attachments.cpp).
    auto parent = resolve_item(env, child(op, "ParentItemId"), parent_error);
    if (parent && parent->occurrence) { // the file would land on the whole series
        parent_error = ews_error("ErrorInvalidOperation",
                                 "The sandbox attaches files to a series, not to one occurrence.");
        parent.reset();
    }
    for (xmlNodePtr e : children(child(op, "Attachments"))) {
        EwsError error;
        if (!parent) {
            w.error(parent_error, "m:Attachments");
            continue;
        }
        if (local_name(e) != "FileAttachment") {
            w.error(ews_error("ErrorInvalidItemForOperationCreateItemAttachment",
                              "The sandbox adds file attachments only."),
                    "m:Attachments");
            continue;
        }
        auto attachment = file_attachment(e, error);
        if (attachment && parent_without_mime(env, parent->info)) {
            create_table_attachment(env, w, *parent, *attachment);
            continue;
        }
        std::size_t index = 0;
        ItemInfo updated;
        StoreStatus st = StoreStatus::Ok;
        bool failed = !attachment;
        if (attachment) {
            st = env.store.update_item(
                parent->info.mailbox, parent->info.id, std::nullopt,
                [&](StoredItem &item) {
                    std::string mime = append_attachment(item.mime, *attachment);
                    if (mime.size() > env.config.max_message_bytes) {
                        error = ews_error("ErrorMessageSizeExceeded");
                        failed = true;
                        return false;
                    }
                    MimeSummary s = summarize_mime(mime);
                    if (s.attachments.empty()) {
                        error = ews_error("ErrorItemSave", "The attachment could not be added.");
                        failed = true;
                        return false;
                    }
                    index = s.attachments.size() - 1;
                    item.mime = std::move(mime);
                    item.info.has_attachments = s.has_attachments();
                    item.info.last_modified = now();
                    return true;
                },
                &updated);
        }
        if (st == StoreStatus::NotFound) error = ews_error("ErrorItemNotFound");
        if (failed || st != StoreStatus::Ok) {
            w.error(error, "m:Attachments");
            continue;
        }
        std::string id = env.store.ids().encode(
            {IdKind::Attachment, updated.mailbox, updated.id, static_cast<std::uint32_t>(index)});
        XmlOut &out = w.begin_success();
        out.open("m:Attachments").open("t:FileAttachment");
        out.open("t:AttachmentId").attr("Id", id).attr("RootItemId", item_id_of(env, updated))
            .attr("RootItemChangeKey", item_change_key(env, updated)).close();
        out.close().close();
        w.end_message();
    }
    return w.finish();
}

OperationResult op_get_attachment(OpEnv &env, xmlNodePtr op) {
    ResponseWriter w("GetAttachment");
    bool include_mime = node_text(child(child(op, "AttachmentShape"), "IncludeMimeContent")) == "true";
    for (xmlNodePtr e : children(child(op, "AttachmentIds"), "AttachmentId")) {
        std::string id = attribute(e, "Id").value_or("");
        auto ref = env.store.ids().decode(id);
        if (id.empty()) {
            w.error(ews_error("ErrorInvalidIdEmpty"), "m:Attachments");
            continue;
        }
        if (!ref) {
            w.error(ews_error("ErrorInvalidIdMalformed"), "m:Attachments");
            continue;
        }
        if (ref->kind != IdKind::Attachment) {
            w.error(ews_error("ErrorInvalidIdNotAnItemAttachmentId"), "m:Attachments");
            continue;
        }
        std::optional<StoredItem> item;
        if (env.may_open(ref->mailbox)) item = env.store.load_item(ref->mailbox, ref->object);
        if (item && attachments_in_table(*item)) {
            if (!write_table_attachment(env, w, id, item->info, ref->sub))
                w.error(ews_error("ErrorInvalidAttachmentId"), "m:Attachments");
            continue;
        }
        MimeSummary s = item ? summarize_mime(item->mime) : MimeSummary{};
        std::optional<std::string> content;
        if (ref->sub < s.attachments.size()) content = attachment_content(item->mime, ref->sub);
        if (!content) {
            w.error(ews_error("ErrorInvalidAttachmentId"), "m:Attachments");
            continue;
        }
        const MimeAttachment &a = s.attachments[ref->sub];
        XmlOut &out = w.begin_success();
        out.open("m:Attachments").open(a.is_message ? "t:ItemAttachment" : "t:FileAttachment");
        out.open("t:AttachmentId").attr("Id", id).close();
        out.leaf("t:Name", a.name).leaf("t:ContentType", a.content_type);
        if (!a.content_id.empty()) out.leaf("t:ContentId", a.content_id);
        out.leaf("t:Size", a.size);
        out.leaf("t:LastModifiedTime", format_ews_time(item->info.last_modified));
        out.leaf_bool("t:IsInline", a.is_inline);
        if (a.is_message) {
            // The attached message as an item: its MIME text when asked for.
            MimeSummary inner = summarize_mime(*content);
            out.open("t:Message");
            if (include_mime)
                out.open("t:MimeContent").attr("CharacterSet", "UTF-8").text(base64_encode(*content)).close();
            out.leaf("t:ItemClass", "IPM.Note").leaf("t:Subject", inner.subject);
            if (inner.date) out.leaf("t:DateTimeSent", format_ews_time(*inner.date));
            out.close();
        } else {
            out.leaf_bool("t:IsContactPhoto", false);
            out.leaf("t:Content", base64_encode(*content));
        }
        out.close().close();
        w.end_message();
    }
    return w.finish();
}

} // namespace sandbox
