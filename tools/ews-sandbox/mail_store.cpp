#include "mail_store.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <iostream>

#include "crypto_util.hpp"
#include "private_files.hpp"
#include "sqlite_stmt.hpp"

namespace sandbox {

namespace {

constexpr int kBusyTimeoutMs = 10000;
constexpr int kSchemaVersion = 1;

constexpr const char *kSchema = R"SQL(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS mailboxes(
  id INTEGER PRIMARY KEY,
  address TEXT NOT NULL UNIQUE COLLATE NOCASE);
CREATE TABLE IF NOT EXISTS folders(
  id INTEGER PRIMARY KEY,
  mailbox_id INTEGER NOT NULL,
  parent_id INTEGER NOT NULL,
  distinguished TEXT NOT NULL,
  display_name TEXT NOT NULL,
  folder_class TEXT NOT NULL,
  version INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS folders_by_parent ON folders(mailbox_id, parent_id);
CREATE TABLE IF NOT EXISTS items(
  id INTEGER PRIMARY KEY,
  mailbox_id INTEGER NOT NULL,
  folder_id INTEGER NOT NULL,
  version INTEGER NOT NULL,
  item_class TEXT NOT NULL,
  subject TEXT NOT NULL,
  from_name TEXT NOT NULL,
  from_address TEXT NOT NULL,
  display_to TEXT NOT NULL,
  display_cc TEXT NOT NULL,
  message_id TEXT NOT NULL,
  date_sent INTEGER,
  date_received INTEGER NOT NULL,
  date_created INTEGER NOT NULL,
  last_modified INTEGER NOT NULL,
  size INTEGER NOT NULL,
  message_flags INTEGER NOT NULL,
  importance INTEGER NOT NULL,
  sensitivity INTEGER NOT NULL,
  has_attachments INTEGER NOT NULL,
  categories TEXT NOT NULL,
  mime BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS items_by_folder ON items(folder_id);
-- A folder's counts and size come from this index alone, without reading
-- the rows (each one's first page holds the start of its MIME text).
CREATE INDEX IF NOT EXISTS items_folder_totals ON items(folder_id, message_flags, size);
CREATE TABLE IF NOT EXISTS item_props(
  item_id INTEGER NOT NULL,
  prop_id TEXT NOT NULL,
  prop_type TEXT NOT NULL,
  ordinal INTEGER NOT NULL,
  value TEXT NOT NULL,
  PRIMARY KEY(item_id, prop_id, prop_type, ordinal));
)SQL";

struct DefaultFolder {
    const char *distinguished; // "" for folders without a distinguished id
    const char *name;
    const char *folder_class;
    const char *parent; // distinguished id of the parent; "" for a root
};

// Exchange's default folder set.  Public folders and the archive mailbox
// are separate hierarchies with their own roots.
constexpr DefaultFolder kDefaultFolders[] = {
    {"root", "Root", "", ""},
    {"msgfolderroot", "Top of Information Store", "", "root"},
    {"inbox", "Inbox", "IPF.Note", "msgfolderroot"},
    {"drafts", "Drafts", "IPF.Note", "msgfolderroot"},
    {"sentitems", "Sent Items", "IPF.Note", "msgfolderroot"},
    {"deleteditems", "Deleted Items", "IPF.Note", "msgfolderroot"},
    {"junkemail", "Junk Email", "IPF.Note", "msgfolderroot"},
    {"outbox", "Outbox", "IPF.Note", "msgfolderroot"},
    {"calendar", "Calendar", "IPF.Appointment", "msgfolderroot"},
    {"contacts", "Contacts", "IPF.Contact", "msgfolderroot"},
    {"recipientcache", "Recipient Cache", "IPF.Contact.RecipientCache", "contacts"},
    {"tasks", "Tasks", "IPF.Task", "msgfolderroot"},
    {"notes", "Notes", "IPF.StickyNote", "msgfolderroot"},
    {"journal", "Journal", "IPF.Journal", "msgfolderroot"},
    {"syncissues", "Sync Issues", "IPF.Note", "msgfolderroot"},
    {"conflicts", "Conflicts", "IPF.Note", "syncissues"},
    {"localfailures", "Local Failures", "IPF.Note", "syncissues"},
    {"serverfailures", "Server Failures", "IPF.Note", "syncissues"},
    {"", "Conversation Action Settings", "IPF.Configuration", "msgfolderroot"},
    {"", "Quick Step Settings", "IPF.Configuration", "msgfolderroot"},
    {"", "RSS Feeds", "IPF.Note.OutlookHomepage", "msgfolderroot"},
    {"recoverableitemsroot", "Recoverable Items", "", "root"},
    {"recoverableitemsdeletions", "Deletions", "", "recoverableitemsroot"},
    {"recoverableitemsversions", "Versions", "", "recoverableitemsroot"},
    {"recoverableitemspurges", "Purges", "", "recoverableitemsroot"},
    {"searchfolders", "Finder", "", "root"},
    {"archiveroot", "Archive Root", "", ""},
    {"archivemsgfolderroot", "Top of Information Store", "", "archiveroot"},
    {"archiveinbox", "Inbox", "IPF.Note", "archivemsgfolderroot"},
    {"archivedeleteditems", "Deleted Items", "IPF.Note", "archivemsgfolderroot"},
    {"archiverecoverableitemsroot", "Recoverable Items", "", "archiveroot"},
    {"archiverecoverableitemsdeletions", "Deletions", "", "archiverecoverableitemsroot"},
    {"archiverecoverableitemsversions", "Versions", "", "archiverecoverableitemsroot"},
    {"archiverecoverableitemspurges", "Purges", "", "archiverecoverableitemsroot"},
    {"publicfoldersroot", "IPM_SUBTREE", "", ""},
};

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string meta_value(StatementCache &statements, const char *key) {
    Stmt q(statements, "SELECT value FROM meta WHERE key = ?");
    q.bind(1, std::string_view(key));
    return q.step() ? q.text(0) : std::string();
}

} // namespace

bool is_known_distinguished_name(const std::string &name) {
    return std::any_of(std::begin(kDefaultFolders), std::end(kDefaultFolders),
                       [&](const DefaultFolder &f) { return name == f.distinguished; });
}

MailStore::MailStore(sqlite3 *db) : db_(db), statements_(db) {}

MailStore::~MailStore() {
    statements_.clear(); // a connection with statements left would not close
    sqlite3_close(db_);
}

std::unique_ptr<MailStore> MailStore::open(const std::string &data_dir) {
    std::string path = (std::filesystem::path(data_dir) / "mailboxes.db").string();
    try {
        ensure_private_dir(data_dir);
        prepare_private_file(path);
    } catch (const std::exception &e) {
        std::cerr << "ews-sandbox: " << e.what() << "\n";
        return nullptr;
    }
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        std::cerr << "ews-sandbox: cannot open " << path << ": "
                  << (db ? sqlite3_errmsg(db) : "out of memory") << "\n";
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<MailStore> store(new MailStore(db));
    try {
        sqlite3_busy_timeout(db, kBusyTimeoutMs);
        exec_sql(db, "PRAGMA journal_mode=WAL");
        exec_sql(db, "PRAGMA synchronous=NORMAL");
        // Pages are read through a mapping of the file instead of a read
        // call each: an item's MIME text spans several.
        exec_sql(db, "PRAGMA mmap_size=268435456");
        Transaction txn(db);
        exec_sql(db, kSchema);
        store->create_attachment_table();
        std::string secret = meta_value(store->statements_, "id_secret");
        if (secret.empty()) {
            secret = random_hex(16);
            Stmt(store->statements_, "INSERT INTO meta(key, value) VALUES('id_secret', ?)")
                .bind(1, secret)
                .run();
            Stmt(store->statements_, "INSERT INTO meta(key, value) VALUES('schema', ?)")
                .bind(1, std::to_string(kSchemaVersion))
                .run();
        } else if (meta_value(store->statements_, "schema") != std::to_string(kSchemaVersion)) {
            throw StoreError("unknown store format (schema " +
                             meta_value(store->statements_, "schema") + ")");
        }
        txn.commit();
        store->ids_ = std::make_unique<IdCodec>(secret);
    } catch (const std::exception &e) {
        std::cerr << "ews-sandbox: cannot use " << path << ": " << e.what() << "\n";
        return nullptr;
    }
    return store;
}

std::optional<std::int64_t> MailStore::find_mailbox(const std::string &address) {
    std::lock_guard lock(mutex_);
    std::string key = lower(address);
    if (auto known = mailbox_ids_.find(key); known != mailbox_ids_.end()) return known->second;
    Stmt q(statements_, "SELECT id FROM mailboxes WHERE address = ?");
    q.bind(1, key);
    if (!q.step()) return std::nullopt; // not remembered: it may be made by another process
    const std::int64_t id = q.integer(0);
    mailbox_ids_.emplace(std::move(key), id);
    return id;
}

std::int64_t MailStore::ensure_mailbox(const std::string &address) {
    std::lock_guard lock(mutex_);
    if (auto id = find_mailbox(address)) return *id;
    Transaction txn(db_);
    Stmt(statements_, "INSERT INTO mailboxes(address) VALUES(?)").bind(1, lower(address)).run();
    std::int64_t id = sqlite3_last_insert_rowid(db_);
    create_default_folders(id);
    txn.commit();
    return id;
}

std::string MailStore::mailbox_address(std::int64_t mailbox) {
    std::lock_guard lock(mutex_);
    Stmt q(statements_, "SELECT address FROM mailboxes WHERE id = ?");
    q.bind(1, mailbox);
    return q.step() ? q.text(0) : std::string();
}

void MailStore::create_default_folders(std::int64_t mailbox) {
    std::vector<std::pair<std::string, std::int64_t>> made;
    for (const auto &f : kDefaultFolders) {
        std::int64_t parent = 0;
        for (auto &[name, id] : made)
            if (*f.parent && name == f.parent) parent = id;
        made.emplace_back(f.distinguished, insert_folder(mailbox, parent, f.distinguished, f.name,
                                                         f.folder_class));
    }
}

std::int64_t MailStore::insert_folder(std::int64_t mailbox, std::int64_t parent,
                                      const std::string &distinguished, const std::string &name,
                                      const std::string &folder_class) {
    Stmt(statements_, "INSERT INTO folders(mailbox_id, parent_id, distinguished, display_name,"
                      " folder_class, version) VALUES(?, ?, ?, ?, ?, 1)")
        .bind(1, mailbox)
        .bind(2, parent)
        .bind(3, distinguished)
        .bind(4, name)
        .bind(5, folder_class)
        .run();
    return sqlite3_last_insert_rowid(db_);
}

std::vector<FolderInfo> MailStore::query_folders(std::int64_t mailbox, const char *where,
                                                 std::int64_t arg) {
    std::string sql =
        "SELECT f.id, f.parent_id, f.distinguished, f.display_name, f.folder_class, f.version,"
        " (SELECT COUNT(*) FROM items i WHERE i.folder_id = f.id),"
        " (SELECT COUNT(*) FROM items i WHERE i.folder_id = f.id AND (i.message_flags & 1) = 0),"
        " (SELECT COUNT(*) FROM folders c WHERE c.parent_id = f.id AND c.mailbox_id = f.mailbox_id),"
        " (SELECT COALESCE(SUM(size), 0) FROM items i WHERE i.folder_id = f.id)"
        " FROM folders f WHERE f.mailbox_id = ?1 AND ";
    sql += where;
    sql += " ORDER BY f.id";
    Stmt q(statements_, sql.c_str());
    q.bind(1, mailbox);
    if (std::string_view(where).find("?2") != std::string_view::npos) q.bind(2, arg);
    std::vector<FolderInfo> out;
    while (q.step()) {
        FolderInfo f;
        f.id = q.integer(0);
        f.mailbox = mailbox;
        f.parent = q.integer(1);
        f.distinguished = q.text(2);
        f.display_name = q.text(3);
        f.folder_class = q.text(4);
        f.version = q.integer(5);
        f.total = q.integer(6);
        f.unread = q.integer(7);
        f.child_count = q.integer(8);
        f.total_size = q.integer(9);
        out.push_back(std::move(f));
    }
    return out;
}

std::vector<FolderInfo> MailStore::folders(std::int64_t mailbox) {
    std::lock_guard lock(mutex_);
    return query_folders(mailbox, "1", 0);
}

std::optional<FolderInfo> MailStore::folder(std::int64_t mailbox, std::int64_t id) {
    std::lock_guard lock(mutex_);
    auto found = query_folders(mailbox, "f.id = ?2", id);
    if (found.empty()) return std::nullopt;
    return found.front();
}

std::optional<FolderInfo> MailStore::distinguished_folder(std::int64_t mailbox,
                                                          const std::string &name) {
    if (name.empty()) return std::nullopt;
    std::lock_guard lock(mutex_);
    Stmt q(statements_, "SELECT id FROM folders WHERE mailbox_id = ? AND distinguished = ?");
    q.bind(1, mailbox).bind(2, name);
    if (!q.step()) return std::nullopt;
    return folder(mailbox, q.integer(0));
}

StoreStatus MailStore::create_folder(std::int64_t mailbox, std::int64_t parent,
                                     const std::string &name, const std::string &folder_class,
                                     FolderInfo *created) {
    std::lock_guard lock(mutex_);
    Transaction txn(db_);
    Stmt p(statements_, "SELECT 1 FROM folders WHERE mailbox_id = ? AND id = ?");
    p.bind(1, mailbox).bind(2, parent);
    if (!p.step()) return StoreStatus::NotFound;
    Stmt dup(statements_, "SELECT 1 FROM folders WHERE mailbox_id = ? AND parent_id = ?"
                          " AND display_name = ? COLLATE NOCASE");
    dup.bind(1, mailbox).bind(2, parent).bind(3, name);
    if (dup.step()) return StoreStatus::Exists;
    std::int64_t id = insert_folder(mailbox, parent, "", name, folder_class);
    txn.commit();
    if (created) *created = *folder(mailbox, id);
    return StoreStatus::Ok;
}

StoreStatus MailStore::delete_folder(std::int64_t mailbox, std::int64_t id) {
    std::lock_guard lock(mutex_);
    Transaction txn(db_);
    // The folder and everything below it, items and their properties.
    const char *subtree = "WITH RECURSIVE tree(id) AS (SELECT id FROM folders WHERE mailbox_id = ?1"
                          " AND id = ?2 UNION SELECT f.id FROM folders f JOIN tree ON f.parent_id"
                          " = tree.id WHERE f.mailbox_id = ?1) ";
    std::string props = std::string(subtree) +
                        "DELETE FROM item_props WHERE item_id IN (SELECT id FROM items WHERE"
                        " mailbox_id = ?1 AND folder_id IN (SELECT id FROM tree))";
    std::string items = std::string(subtree) +
                        "DELETE FROM items WHERE mailbox_id = ?1 AND folder_id IN (SELECT id FROM tree)";
    std::string folders = std::string(subtree) +
                          "DELETE FROM folders WHERE mailbox_id = ?1 AND id IN (SELECT id FROM tree)";
    Stmt(statements_, props.c_str()).bind(1, mailbox).bind(2, id).run();
    drop_folder_attachments_locked(subtree, mailbox, id);
    Stmt(statements_, items.c_str()).bind(1, mailbox).bind(2, id).run();
    Stmt(statements_, folders.c_str()).bind(1, mailbox).bind(2, id).run();
    if (!sqlite3_changes(db_)) return StoreStatus::NotFound;
    txn.commit();
    return StoreStatus::Ok;
}

StoreStatus MailStore::move_folder(std::int64_t mailbox, std::int64_t id, std::int64_t parent) {
    std::lock_guard lock(mutex_);
    Stmt q(statements_, "UPDATE folders SET parent_id = ?, version = version + 1"
                        " WHERE mailbox_id = ? AND id = ?");
    q.bind(1, parent).bind(2, mailbox).bind(3, id).run();
    return sqlite3_changes(db_) ? StoreStatus::Ok : StoreStatus::NotFound;
}

FolderInfo MailStore::ensure_folder_path(std::int64_t mailbox, const std::string &path) {
    std::lock_guard lock(mutex_);
    auto current = distinguished_folder(mailbox, "msgfolderroot");
    if (!current) throw StoreError("mailbox has no msgfolderroot");
    std::size_t pos = 0;
    while (pos <= path.size()) {
        std::size_t slash = path.find('/', pos);
        std::string part = path.substr(pos, slash == std::string::npos ? std::string::npos
                                                                      : slash - pos);
        pos = slash == std::string::npos ? path.size() + 1 : slash + 1;
        if (part.empty()) continue;
        Stmt q(statements_, "SELECT id FROM folders WHERE mailbox_id = ? AND parent_id = ?"
                            " AND display_name = ? COLLATE NOCASE");
        q.bind(1, mailbox).bind(2, current->id).bind(3, part);
        if (q.step()) {
            current = folder(mailbox, q.integer(0));
            continue;
        }
        std::string cls = current->folder_class.empty() ? "IPF.Note" : current->folder_class;
        FolderInfo made;
        if (create_folder(mailbox, current->id, part, cls, &made) != StoreStatus::Ok)
            throw StoreError("cannot create folder " + part);
        current = made;
    }
    return *current;
}

} // namespace sandbox
