#include "item_attachments.hpp"

namespace sandbox {

namespace {

std::string attachment_id(const OpEnv &env, const ItemInfo &item, std::uint32_t index) {
    return env.store.ids().encode({IdKind::Attachment, item.mailbox, item.id, index});
}

std::string content_type_or_default(const std::string &type) {
    return type.empty() ? "application/octet-stream" : type;
}

// AttachmentType's elements in the schema's order, up to IsContactPhoto.
void write_summary_fields(XmlOut &out, const StoredAttachment &a) {
    out.leaf("t:Name", a.name).leaf("t:ContentType", content_type_or_default(a.content_type));
    if (!a.content_id.empty()) out.leaf("t:ContentId", a.content_id);
    out.leaf("t:Size", a.size);
    out.leaf("t:LastModifiedTime", format_ews_time(a.last_modified));
    out.leaf_bool("t:IsInline", a.is_inline);
    out.leaf_bool("t:IsContactPhoto", false);
}

} // namespace

void create_table_attachment(OpEnv &env, ResponseWriter &w, const ItemRef &ref,
                             const NewFileAttachment &file) {
    const ItemInfo &parent = ref.info;
    if (file.content.size() > env.config.max_message_bytes) {
        w.error(ews_error("ErrorMessageSizeExceeded"), "m:Attachments");
        return;
    }
    std::optional<std::int64_t> expected;
    if (ref.change_key && !ref.change_key->empty()) {
        expected = env.store.ids().change_key_version({IdKind::Item, parent.mailbox, parent.id, 0}, *ref.change_key);
        if (!expected) {
            w.error(ews_error("ErrorInvalidChangeKey"), "m:Attachments");
            return;
        }
    }
    StoredAttachment a;
    a.name = file.name;
    a.content_type = file.content_type;
    a.content_id = file.content_id;
    a.is_inline = file.is_inline;
    a.content = file.content;
    ItemInfo updated;
    const StoreStatus st = env.store.add_attachment(parent.mailbox, parent.id, a, &updated, expected);
    if (st != StoreStatus::Ok) {
        w.error(ews_error(st == StoreStatus::Stale ? "ErrorIrresolvableConflict" : "ErrorItemNotFound"),
                "m:Attachments");
        return;
    }
    XmlOut &out = w.begin_success();
    out.open("m:Attachments").open("t:FileAttachment");
    out.open("t:AttachmentId").attr("Id", attachment_id(env, updated, a.index))
        .attr("RootItemId", item_id_of(env, updated))
        .attr("RootItemChangeKey", item_change_key(env, updated)).close();
    out.close().close();
    w.end_message();
}

bool write_table_attachment(OpEnv &env, ResponseWriter &w, const std::string &id,
                            const ItemInfo &item, std::uint32_t index) {
    auto a = env.store.attachment(item.mailbox, item.id, index);
    if (!a) return false;
    XmlOut &out = w.begin_success();
    out.open("m:Attachments").open("t:FileAttachment");
    out.open("t:AttachmentId").attr("Id", id).close();
    write_summary_fields(out, *a);
    out.leaf("t:Content", base64_encode(a->content));
    out.close().close();
    w.end_message();
    return true;
}

void render_table_attachments(XmlOut &out, const OpEnv &env, const ItemInfo &item) {
    auto list = env.store.attachments(item.mailbox, item.id);
    if (list.empty()) return;
    out.open("t:Attachments");
    for (const auto &a : list) {
        out.open("t:FileAttachment");
        out.open("t:AttachmentId").attr("Id", attachment_id(env, item, a.index)).close();
        write_summary_fields(out, a);
        out.close();
    }
    out.close();
}

} // namespace sandbox
