// File attachments of items that have no MIME text: contacts, distribution
// lists, tasks and calendar items.  Exchange keeps an item's attachments
// as attachment objects of the item; here they are rows of their own
// table, keyed by the item's row, so they follow the item through copies
// and moves (each a new row) and go with it when it is deleted.
#include <chrono>

#include "mail_store.hpp"
#include "sqlite_stmt.hpp"

namespace sandbox {

namespace {

constexpr const char *kAttachmentSchema = R"SQL(
CREATE TABLE IF NOT EXISTS item_attachments(
  item_id INTEGER NOT NULL,
  ordinal INTEGER NOT NULL,
  name TEXT NOT NULL,
  content_type TEXT NOT NULL,
  content_id TEXT NOT NULL,
  is_inline INTEGER NOT NULL,
  last_modified INTEGER NOT NULL,
  content BLOB NOT NULL,
  PRIMARY KEY(item_id, ordinal));
)SQL";

UnixTime now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

StoredAttachment read_row(const Stmt &q, bool with_content) {
    StoredAttachment a;
    a.index = static_cast<std::uint32_t>(q.integer(0));
    a.name = q.text(1);
    a.content_type = q.text(2);
    a.content_id = q.text(3);
    a.is_inline = q.integer(4) != 0;
    a.last_modified = q.integer(5);
    a.size = q.integer(6);
    if (with_content) a.content = q.text(7);
    return a;
}

constexpr const char *kColumns =
    "a.ordinal, a.name, a.content_type, a.content_id, a.is_inline, a.last_modified,"
    " length(a.content), a.content";

} // namespace

void MailStore::create_attachment_table() { exec_sql(db_, kAttachmentSchema); }

void MailStore::copy_attachments_locked(std::int64_t from_item, std::int64_t to_item) {
    Stmt(statements_,
         "INSERT INTO item_attachments(item_id, ordinal, name, content_type, content_id,"
         " is_inline, last_modified, content) SELECT ?, ordinal, name, content_type,"
         " content_id, is_inline, last_modified, content FROM item_attachments"
         " WHERE item_id = ?")
        .bind(1, to_item)
        .bind(2, from_item)
        .run();
}

void MailStore::drop_attachments_locked(std::int64_t item) {
    Stmt(statements_, "DELETE FROM item_attachments WHERE item_id = ?").bind(1, item).run();
}

void MailStore::drop_folder_attachments_locked(const std::string &subtree_sql, std::int64_t mailbox,
                                               std::int64_t folder) {
    std::string sql = subtree_sql +
                      "DELETE FROM item_attachments WHERE item_id IN (SELECT id FROM items WHERE"
                      " mailbox_id = ?1 AND folder_id IN (SELECT id FROM tree))";
    Stmt(statements_, sql.c_str()).bind(1, mailbox).bind(2, folder).run();
}

StoreStatus MailStore::add_attachment(std::int64_t mailbox, std::int64_t item,
                                      StoredAttachment &attachment, ItemInfo *updated,
                                      std::optional<std::int64_t> expected_version) {
    std::lock_guard lock(mutex_);
    Transaction txn(db_);
    auto stored = load_item_locked(mailbox, item);
    if (!stored) return StoreStatus::NotFound;
    if (expected_version && *expected_version != stored->info.version) return StoreStatus::Stale;
    Stmt next(statements_,
              "SELECT COALESCE(MAX(ordinal) + 1, 0) FROM item_attachments WHERE item_id = ?");
    next.bind(1, item);
    attachment.index = next.step() ? static_cast<std::uint32_t>(next.integer(0)) : 0;
    attachment.last_modified = now();
    attachment.size = static_cast<std::int64_t>(attachment.content.size());
    Stmt(statements_,
         "INSERT INTO item_attachments(item_id, ordinal, name, content_type, content_id,"
         " is_inline, last_modified, content) VALUES(?, ?, ?, ?, ?, ?, ?, ?)")
        .bind(1, item)
        .bind(2, static_cast<std::int64_t>(attachment.index))
        .bind(3, attachment.name)
        .bind(4, attachment.content_type)
        .bind(5, attachment.content_id)
        .bind(6, static_cast<std::int64_t>(attachment.is_inline ? 1 : 0))
        .bind(7, attachment.last_modified)
        .bind_blob(8, attachment.content)
        .run();
    // The parent changes with its attachments: a new change key, as
    // CreateAttachment's RootItemChangeKey shows.
    stored->info.version += 1;
    stored->info.has_attachments = true;
    stored->info.last_modified = attachment.last_modified;
    write_item_locked(*stored, false);
    txn.commit();
    if (updated) *updated = stored->info;
    return StoreStatus::Ok;
}

std::vector<StoredAttachment> MailStore::attachments(std::int64_t mailbox, std::int64_t item) {
    std::lock_guard lock(mutex_);
    std::string sql = std::string("SELECT ") + kColumns +
                      " FROM item_attachments a JOIN items i ON i.id = a.item_id"
                      " WHERE i.mailbox_id = ? AND a.item_id = ? ORDER BY a.ordinal";
    Stmt q(statements_, sql.c_str());
    q.bind(1, mailbox).bind(2, item);
    std::vector<StoredAttachment> out;
    while (q.step()) out.push_back(read_row(q, false));
    return out;
}

std::optional<StoredAttachment> MailStore::attachment(std::int64_t mailbox, std::int64_t item,
                                                      std::uint32_t index) {
    std::lock_guard lock(mutex_);
    std::string sql = std::string("SELECT ") + kColumns +
                      " FROM item_attachments a JOIN items i ON i.id = a.item_id"
                      " WHERE i.mailbox_id = ? AND a.item_id = ? AND a.ordinal = ?";
    Stmt q(statements_, sql.c_str());
    q.bind(1, mailbox).bind(2, item).bind(3, static_cast<std::int64_t>(index));
    if (!q.step()) return std::nullopt;
    return read_row(q, true);
}

} // namespace sandbox
