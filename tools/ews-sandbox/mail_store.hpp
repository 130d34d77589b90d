// The sandbox's mailbox store: every mailbox, folder, item (with its MIME
// text exactly as received) and extended property, in one SQLite file
// DIR/mailboxes.db.
//
// The file is in WAL mode with a busy timeout, so `seed` and `dump` may
// run while a server has it open.  Inside one process a mutex makes every
// method one transaction against one connection: the server's worker
// threads see each other's changes whole and there is a single writer.
//
// Mailboxes are created on first use with Exchange's default folder set.
// Ids handed to clients are opaque (IdCodec); rows carry a version that
// grows with every change, from which change keys are made.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "mail_codec.hpp"
#include "sqlite_cache.hpp"

namespace sandbox {

struct FolderInfo {
    std::int64_t id = 0;
    std::int64_t mailbox = 0;
    std::int64_t parent = 0;   // 0 for the roots (root, archiveroot, publicfoldersroot)
    std::string distinguished; // "inbox", ...; empty for folders users made
    std::string display_name;
    std::string folder_class;  // "IPF.Note"; empty for the roots
    std::int64_t version = 1;
    // Filled by every query:
    std::int64_t total = 0, unread = 0, child_count = 0, total_size = 0;
};

// An extended MAPI property.  `id` is canonical: "0x1090" for a tag,
// "{guid}:id:3" / "{guid}:name:X" for named properties (distinguished
// property sets appear as their name, e.g. "Meeting:id:3").
struct ExtendedValue {
    std::string id;
    std::string type;                // MapiPropertyType, e.g. "Integer", "StringArray"
    std::vector<std::string> values; // one for single-valued types
};

// The properties of one item that EWS shows as its own elements.
struct ItemInfo {
    std::int64_t id = 0;
    std::int64_t mailbox = 0;
    std::int64_t folder = 0;
    std::int64_t version = 1;
    std::string item_class = "IPM.Note";
    std::string subject;
    std::string from_name, from_address;
    std::string display_to, display_cc;
    std::string message_id;
    std::optional<UnixTime> date_sent;
    UnixTime date_received = 0, date_created = 0, last_modified = 0;
    std::int64_t size = 0;          // of the MIME text
    std::int64_t message_flags = 0; // PR_MESSAGE_FLAGS: 0x1 read, 0x8 unsent
    int importance = 1;             // 0 low, 1 normal, 2 high
    int sensitivity = 0;            // 0 normal, 1 personal, 2 private, 3 confidential
    bool has_attachments = false;
    std::vector<std::string> categories;

    bool is_read() const { return (message_flags & 1) != 0; }
};

struct StoredItem {
    ItemInfo info;
    std::string mime;
    std::vector<ExtendedValue> extended; // other than those ItemInfo holds
};

enum class StoreStatus { Ok, NotFound, Exists, Stale };

// A file attachment of an item that has no MIME text (contacts, lists,
// tasks, calendar items): messages keep theirs inside the MIME text.
// `index` is its place among the item's attachments, from 0, and is what
// attachment ids name.
struct StoredAttachment {
    std::uint32_t index = 0;
    std::string name;
    std::string content_type;
    std::string content_id; // without angle brackets
    bool is_inline = false;
    std::int64_t size = 0;
    UnixTime last_modified = 0;
    std::string content; // left empty by attachment lists
};

class MailStore {
  public:
    // Opens (creating when needed) DIR/mailboxes.db.  Returns nullptr and
    // prints the reason to stderr when the database cannot be opened.
    static std::unique_ptr<MailStore> open(const std::string &data_dir);
    ~MailStore();
    MailStore(const MailStore &) = delete;
    MailStore &operator=(const MailStore &) = delete;

    const IdCodec &ids() const { return *ids_; }

    // Mailboxes (addresses compare case-insensitively).
    std::int64_t ensure_mailbox(const std::string &address);
    std::optional<std::int64_t> find_mailbox(const std::string &address);
    std::string mailbox_address(std::int64_t mailbox);

    // Folders, with their counts.  `folders` lists every folder of the
    // mailbox in creation order.
    std::vector<FolderInfo> folders(std::int64_t mailbox);
    std::optional<FolderInfo> folder(std::int64_t mailbox, std::int64_t id);
    std::optional<FolderInfo> distinguished_folder(std::int64_t mailbox, const std::string &name);
    // Exists when the parent already has a child of that name (any case),
    // NotFound when the parent is missing.
    StoreStatus create_folder(std::int64_t mailbox, std::int64_t parent, const std::string &name,
                              const std::string &folder_class, FolderInfo *created);
    // Removes the folder with its subfolders and all their items.
    StoreStatus delete_folder(std::int64_t mailbox, std::int64_t id);
    // Gives the folder another parent; its id stays (folder ids do not
    // change on a move).
    StoreStatus move_folder(std::int64_t mailbox, std::int64_t id, std::int64_t parent);
    // "Inbox/Projects/2026" below msgfolderroot, made where missing.
    FolderInfo ensure_folder_path(std::int64_t mailbox, const std::string &path);

    // Items.  Lists leave the MIME text and extended properties out.
    std::vector<ItemInfo> items_in_folder(std::int64_t mailbox, std::int64_t folder);
    std::optional<ItemInfo> item(std::int64_t mailbox, std::int64_t id);
    std::optional<StoredItem> load_item(std::int64_t mailbox, std::int64_t id);
    // The same for an item just read with item() or items_in_folder(): its
    // row is not read again.  nullopt when the item is gone since.
    std::optional<StoredItem> load_item(const ItemInfo &info);
    ItemInfo add_item(const StoredItem &item); // info.mailbox and info.folder must exist
    // Several at once, in one transaction: all are stored or none.
    std::vector<ItemInfo> add_items(const std::vector<StoredItem> &items);

    // Changes an item in one transaction: refuses with Stale when
    // `expected_version` is given and is not the current version, lets
    // `change` edit the item, stores it and gives it a new version.
    // `change` returns false to leave the item untouched.
    using ItemChange = std::function<bool(StoredItem &)>;
    StoreStatus update_item(std::int64_t mailbox, std::int64_t id,
                            std::optional<std::int64_t> expected_version, const ItemChange &change,
                            ItemInfo *updated);
    // An item that changes folder is a new item, as on Exchange: it gets a
    // new row (so a new id) and the old id names nothing any more.
    StoreStatus move_item(std::int64_t mailbox, std::int64_t id, const FolderInfo &to,
                          ItemInfo *moved = nullptr);
    StoreStatus copy_item(std::int64_t mailbox, std::int64_t id, const FolderInfo &to,
                          ItemInfo *copy = nullptr);
    StoreStatus delete_item(std::int64_t mailbox, std::int64_t id);

    // File attachments of items without MIME text (mail_store_attachments.cpp).
    // Adding one gives the item a new version (so a new change key) and
    // sets HasAttachments; `attachment.index` is assigned.  Stale when
    // `expected_version` is given and is not the item's version.
    StoreStatus add_attachment(std::int64_t mailbox, std::int64_t item, StoredAttachment &attachment,
                               ItemInfo *updated, std::optional<std::int64_t> expected_version = std::nullopt);
    std::vector<StoredAttachment> attachments(std::int64_t mailbox, std::int64_t item);
    std::optional<StoredAttachment> attachment(std::int64_t mailbox, std::int64_t item,
                                               std::uint32_t index);

  private:
    explicit MailStore(sqlite3 *db);
    void create_default_folders(std::int64_t mailbox);
    std::int64_t insert_folder(std::int64_t mailbox, std::int64_t parent,
                               const std::string &distinguished, const std::string &name,
                               const std::string &folder_class);
    std::vector<FolderInfo> query_folders(std::int64_t mailbox, const char *where,
                                          std::int64_t arg);
    std::optional<StoredItem> load_item_locked(std::int64_t mailbox, std::int64_t id);
    std::optional<StoredItem> load_content_locked(ItemInfo info); // MIME text and properties
    std::int64_t write_item_locked(const StoredItem &item, bool insert); // the row id
    // The same with `info` in place of item.info (MIME text and extended
    // properties from `item`).
    std::int64_t write_item_locked(const ItemInfo &info, const StoredItem &item, bool insert);
    ItemInfo add_item_locked(const StoredItem &item);
    std::int64_t next_item_row_locked();
    StoreStatus place_copy_locked(std::int64_t mailbox, std::int64_t id, const FolderInfo &to,
                                  bool remove_original, ItemInfo *placed);

    // The attachment table follows its item: copied with it, dropped with it.
    void create_attachment_table();
    void copy_attachments_locked(std::int64_t from_item, std::int64_t to_item);
    void drop_attachments_locked(std::int64_t item);
    void drop_folder_attachments_locked(const std::string &subtree_sql, std::int64_t mailbox,
                                        std::int64_t folder);

    sqlite3 *db_;
    StatementCache statements_;
    std::unique_ptr<IdCodec> ids_;
    std::recursive_mutex mutex_;
    // Every request looks up its mailbox.  A mailbox row is never deleted
    // or renamed, so an id once found stays right.
    std::map<std::string, std::int64_t> mailbox_ids_;
};

// The distinguished folder names a store mailbox has (Exchange's default
// folder set as it appears in a new mailbox).
bool is_known_distinguished_name(const std::string &name);

} // namespace sandbox
