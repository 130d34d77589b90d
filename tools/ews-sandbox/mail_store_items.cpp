// The item half of the mailbox store.
#include "mail_store.hpp"
#include "sqlite_stmt.hpp"

namespace sandbox {

namespace {

// Categories cannot contain U+001F: XML 1.0 has no way to carry it.
constexpr char kCategorySeparator = '\x1f';

constexpr const char *kItemColumns =
    "id, mailbox_id, folder_id, version, item_class, subject, from_name, from_address,"
    " display_to, display_cc, message_id, date_sent, date_received, date_created,"
    " last_modified, size, message_flags, importance, sensitivity, has_attachments, categories";

std::string join_categories(const std::vector<std::string> &list) {
    std::string out;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i) out += kCategorySeparator;
        out += list[i];
    }
    return out;
}

std::vector<std::string> split_categories(const std::string &joined) {
    std::vector<std::string> out;
    if (joined.empty()) return out;
    std::size_t pos = 0;
    while (true) {
        std::size_t sep = joined.find(kCategorySeparator, pos);
        out.push_back(joined.substr(pos, sep == std::string::npos ? std::string::npos : sep - pos));
        if (sep == std::string::npos) break;
        pos = sep + 1;
    }
    return out;
}

ItemInfo read_item_row(const Stmt &q) {
    ItemInfo i;
    i.id = q.integer(0);
    i.mailbox = q.integer(1);
    i.folder = q.integer(2);
    i.version = q.integer(3);
    i.item_class = q.text(4);
    i.subject = q.text(5);
    i.from_name = q.text(6);
    i.from_address = q.text(7);
    i.display_to = q.text(8);
    i.display_cc = q.text(9);
    i.message_id = q.text(10);
    if (!q.is_null(11)) i.date_sent = q.integer(11);
    i.date_received = q.integer(12);
    i.date_created = q.integer(13);
    i.last_modified = q.integer(14);
    i.size = q.integer(15);
    i.message_flags = q.integer(16);
    i.importance = static_cast<int>(q.integer(17));
    i.sensitivity = static_cast<int>(q.integer(18));
    i.has_attachments = q.integer(19) != 0;
    i.categories = split_categories(q.text(20));
    return i;
}

} // namespace

std::vector<ItemInfo> MailStore::items_in_folder(std::int64_t mailbox, std::int64_t folder) {
    std::lock_guard lock(mutex_);
    static const std::string sql = std::string("SELECT ") + kItemColumns +
                                   " FROM items WHERE mailbox_id = ? AND folder_id = ? ORDER BY id";
    Stmt q(statements_, sql);
    q.bind(1, mailbox).bind(2, folder);
    std::vector<ItemInfo> out;
    while (q.step()) out.push_back(read_item_row(q));
    return out;
}

std::optional<ItemInfo> MailStore::item(std::int64_t mailbox, std::int64_t id) {
    std::lock_guard lock(mutex_);
    static const std::string sql =
        std::string("SELECT ") + kItemColumns + " FROM items WHERE mailbox_id = ? AND id = ?";
    Stmt q(statements_, sql);
    q.bind(1, mailbox).bind(2, id);
    if (!q.step()) return std::nullopt;
    return read_item_row(q);
}

std::optional<StoredItem> MailStore::load_item_locked(std::int64_t mailbox, std::int64_t id) {
    auto info = item(mailbox, id);
    if (!info) return std::nullopt;
    return load_content_locked(std::move(*info));
}

std::optional<StoredItem> MailStore::load_content_locked(ItemInfo info) {
    StoredItem s;
    s.info = std::move(info);
    Stmt m(statements_, "SELECT mime FROM items WHERE id = ? AND mailbox_id = ?");
    m.bind(1, s.info.id).bind(2, s.info.mailbox);
    if (!m.step()) return std::nullopt;
    s.mime = m.text(0);
    Stmt p(statements_, "SELECT prop_id, prop_type, value FROM item_props WHERE item_id = ?"
                        " ORDER BY rowid, ordinal");
    p.bind(1, s.info.id);
    while (p.step()) {
        std::string pid = p.text(0), type = p.text(1);
        if (s.extended.empty() || s.extended.back().id != pid || s.extended.back().type != type)
            s.extended.push_back({pid, type, {}});
        s.extended.back().values.push_back(p.text(2));
    }
    return s;
}

std::optional<StoredItem> MailStore::load_item(std::int64_t mailbox, std::int64_t id) {
    std::lock_guard lock(mutex_);
    return load_item_locked(mailbox, id);
}

std::optional<StoredItem> MailStore::load_item(const ItemInfo &info) {
    std::lock_guard lock(mutex_);
    return load_content_locked(info);
}

std::int64_t MailStore::write_item_locked(const StoredItem &item, bool insert) {
    return write_item_locked(item.info, item, insert);
}

std::int64_t MailStore::write_item_locked(const ItemInfo &i, const StoredItem &item, bool insert) {
    const char *sql =
        insert ? "INSERT INTO items(mailbox_id, folder_id, version, item_class, subject,"
                 " from_name, from_address, display_to, display_cc, message_id, date_sent,"
                 " date_received, date_created, last_modified, size, message_flags, importance,"
                 " sensitivity, has_attachments, categories, mime, id)"
                 " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15,"
                 " ?16, ?17, ?18, ?19, ?20, ?21, ?22)"
               : "UPDATE items SET mailbox_id = ?1, folder_id = ?2, version = ?3,"
                 " item_class = ?4, subject = ?5, from_name = ?6, from_address = ?7,"
                 " display_to = ?8, display_cc = ?9, message_id = ?10, date_sent = ?11,"
                 " date_received = ?12, date_created = ?13, last_modified = ?14, size = ?15,"
                 " message_flags = ?16, importance = ?17, sensitivity = ?18,"
                 " has_attachments = ?19, categories = ?20, mime = ?21 WHERE id = ?22";
    Stmt q(statements_, sql);
    q.bind(1, i.mailbox).bind(2, i.folder).bind(3, i.version).bind(4, i.item_class);
    q.bind(5, i.subject).bind(6, i.from_name).bind(7, i.from_address).bind(8, i.display_to);
    q.bind(9, i.display_cc).bind(10, i.message_id);
    if (i.date_sent) q.bind(11, *i.date_sent);
    else q.bind_null(11);
    q.bind(12, i.date_received).bind(13, i.date_created).bind(14, i.last_modified);
    q.bind(15, static_cast<std::int64_t>(item.mime.size())).bind(16, i.message_flags);
    q.bind(17, static_cast<std::int64_t>(i.importance));
    q.bind(18, static_cast<std::int64_t>(i.sensitivity));
    q.bind(19, static_cast<std::int64_t>(i.has_attachments ? 1 : 0));
    q.bind(20, join_categories(i.categories)).bind_blob(21, item.mime);
    const std::int64_t id = insert ? next_item_row_locked() : i.id;
    q.bind(22, id);
    q.run();
    Stmt(statements_, "DELETE FROM item_props WHERE item_id = ?").bind(1, id).run();
    for (const auto &prop : item.extended) {
        for (std::size_t n = 0; n < prop.values.size(); ++n) {
            Stmt(statements_, "INSERT OR REPLACE INTO item_props(item_id, prop_id, prop_type,"
                              " ordinal, value) VALUES(?, ?, ?, ?, ?)")
                .bind(1, id)
                .bind(2, prop.id)
                .bind(3, prop.type)
                .bind(4, static_cast<std::int64_t>(n))
                .bind(5, prop.values[n])
                .run();
        }
    }
    return id;
}

ItemInfo MailStore::add_item_locked(const StoredItem &item) {
    ItemInfo info = item.info; // the MIME text is not copied with it
    info.version = 1;
    info.size = static_cast<std::int64_t>(item.mime.size());
    info.id = write_item_locked(info, item, true);
    return info;
}

ItemInfo MailStore::add_item(const StoredItem &item) {
    std::lock_guard lock(mutex_);
    Transaction txn(db_);
    ItemInfo made = add_item_locked(item);
    txn.commit();
    return made;
}

std::vector<ItemInfo> MailStore::add_items(const std::vector<StoredItem> &items) {
    std::lock_guard lock(mutex_);
    Transaction txn(db_);
    std::vector<ItemInfo> made;
    made.reserve(items.size());
    for (const StoredItem &item : items) made.push_back(add_item_locked(item));
    txn.commit();
    return made;
}

StoreStatus MailStore::update_item(std::int64_t mailbox, std::int64_t id,
                                   std::optional<std::int64_t> expected_version,
                                   const ItemChange &change, ItemInfo *updated) {
    std::lock_guard lock(mutex_);
    Transaction txn(db_);
    auto item = load_item_locked(mailbox, id);
    if (!item) return StoreStatus::NotFound;
    if (expected_version && *expected_version != item->info.version) return StoreStatus::Stale;
    if (!change(*item)) {
        if (updated) *updated = item->info;
        return StoreStatus::Ok;
    }
    item->info.version += 1;
    item->info.size = static_cast<std::int64_t>(item->mime.size());
    write_item_locked(*item, false);
    txn.commit();
    if (updated) *updated = item->info;
    return StoreStatus::Ok;
}

// Row ids are never handed out twice (SQLite would reuse the highest one
// after a delete), so an id a client still holds for an item that was
// deleted or moved can never come to name another item.
std::int64_t MailStore::next_item_row_locked() {
    Stmt q(statements_,
           "SELECT max(COALESCE((SELECT max(id) FROM items), 0), COALESCE((SELECT"
           " CAST(value AS INTEGER) FROM meta WHERE key = 'last_item_row'), 0))");
    const std::int64_t next = (q.step() ? q.integer(0) : 0) + 1;
    Stmt(statements_, "INSERT OR REPLACE INTO meta(key, value) VALUES('last_item_row', ?)")
        .bind(1, std::to_string(next))
        .run();
    return next;
}

StoreStatus MailStore::place_copy_locked(std::int64_t mailbox, std::int64_t id,
                                         const FolderInfo &to, bool remove_original,
                                         ItemInfo *placed) {
    auto item = load_item_locked(mailbox, id);
    if (!item) return StoreStatus::NotFound;
    item->info.mailbox = to.mailbox;
    item->info.folder = to.id;
    item->info.version = 1;
    item->info.id = write_item_locked(*item, true);
    copy_attachments_locked(id, item->info.id);
    if (remove_original) {
        Stmt(statements_, "DELETE FROM items WHERE id = ?").bind(1, id).run();
        Stmt(statements_, "DELETE FROM item_props WHERE item_id = ?").bind(1, id).run();
        drop_attachments_locked(id);
    }
    if (placed) *placed = item->info;
    return StoreStatus::Ok;
}

StoreStatus MailStore::move_item(std::int64_t mailbox, std::int64_t id, const FolderInfo &to,
                                 ItemInfo *moved) {
    std::lock_guard lock(mutex_);
    Transaction txn(db_);
    const StoreStatus st = place_copy_locked(mailbox, id, to, true, moved);
    if (st == StoreStatus::Ok) txn.commit();
    return st;
}

StoreStatus MailStore::copy_item(std::int64_t mailbox, std::int64_t id, const FolderInfo &to,
                                 ItemInfo *copy) {
    std::lock_guard lock(mutex_);
    Transaction txn(db_);
    const StoreStatus st = place_copy_locked(mailbox, id, to, false, copy);
    if (st == StoreStatus::Ok) txn.commit();
    return st;
}

StoreStatus MailStore::delete_item(std::int64_t mailbox, std::int64_t id) {
    std::lock_guard lock(mutex_);
    Transaction txn(db_);
    Stmt(statements_, "DELETE FROM items WHERE mailbox_id = ? AND id = ?")
        .bind(1, mailbox)
        .bind(2, id)
        .run();
    if (!sqlite3_changes(db_)) return StoreStatus::NotFound;
    Stmt(statements_, "DELETE FROM item_props WHERE item_id = ?").bind(1, id).run();
    drop_attachments_locked(id);
    txn.commit();
    return StoreStatus::Ok;
}

} // namespace sandbox
