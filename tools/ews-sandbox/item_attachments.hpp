// Attachments of items stored without MIME text (contacts, distribution
// lists, tasks, calendar items): CreateAttachment and GetAttachment for
// them, and the <t:Attachments> summary their GetItem answers carry.
// Messages keep their attachments in their MIME text (op_attachments.cpp).
#pragma once

#include "mail_store.hpp"
#include "mime_build.hpp"
#include "ops_common.hpp"

namespace sandbox {

// Whether the item's attachments live in the attachment table rather
// than in its MIME text.
inline bool attachments_in_table(const StoredItem &item) { return item.mime.empty(); }

// Adds the file to the parent and writes the success message (AttachmentId
// with RootItemId and the parent's new RootItemChangeKey) or the error.  A
// ChangeKey given with the parent must be its current one: a client adding
// several files takes each answer's RootItemChangeKey for the next.
void create_table_attachment(OpEnv &env, ResponseWriter &w, const ItemRef &parent,
                             const NewFileAttachment &file);

// The GetAttachment message for attachment `index` of the item; false when
// the item has no such attachment (the caller answers
// ErrorInvalidAttachmentId).
bool write_table_attachment(OpEnv &env, ResponseWriter &w, const std::string &attachment_id,
                            const ItemInfo &item, std::uint32_t index);

// <t:Attachments> with one <t:FileAttachment> summary per attachment;
// nothing when the item has none.
void render_table_attachments(XmlOut &out, const OpEnv &env, const ItemInfo &item);

} // namespace sandbox
