// The persistent duplicate store: one SQLite table of item keys, so that a
// job run again over the same folders leaves out what it already moved.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>

#include <openssl/evp.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mime_internal.hpp"
#include "common/part_folder.hpp"
#include "common/unique_file.hpp"
#include "private_files.hpp"

namespace qvcom::mime {
namespace {

using Key = std::array<unsigned char, 32>;

// Embedded messages deeper than the parser's nesting limit are not keyed.
constexpr int kMaxKeyDepth = 31;
constexpr int kBusyTimeoutMs = 5000;

const char kSchema[] =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=NORMAL;"
    "CREATE TABLE IF NOT EXISTS migrated ("
    "  key BLOB PRIMARY KEY,"
    "  folder TEXT NOT NULL,"
    "  stored_at INTEGER NOT NULL"
    ") WITHOUT ROWID;";

// sqlite3_close_v2 waits for statements still open, whatever the order
// the members of StoreState go in.
struct DbCloser {
    void operator()(sqlite3 *db) const { sqlite3_close_v2(db); }
};
struct StatementCloser {
    void operator()(sqlite3_stmt *stmt) const { sqlite3_finalize(stmt); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementCloser>;

struct StoreState {
    std::optional<std::string> api_path; // set by the host; "" = off
    std::string scope;
    std::unique_ptr<sqlite3, DbCloser> db;
    // Prepared once per open store: a lookup per item and an insert per
    // remembered item are the store's whole traffic.
    Statement lookup;
    Statement insert;
    std::string open_path;
    bool failed_path_logged = false;
    // The key of the last check, reused when the same item is remembered.
    const qv_message *last_msg = nullptr;
    int last_number = -1;
    std::string last_folder;
    Key last_key{};
    bool last_key_set = false; // a check with a store made last_key
};

StoreState &state()
{
    static StoreState s;
    return s;
}

std::string default_store_path()
{
    std::filesystem::path base;
    if (const char *xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg)
        base = xdg;
    else if (const char *home = std::getenv("HOME"); home && *home)
        base = std::filesystem::path(home) / ".local" / "state";
    else
        base = std::filesystem::temp_directory_path();
    return (base / "quovera" / "duplicates.sqlite").string();
}

std::string configured_path()
{
    if (state().api_path)
        return *state().api_path;
    std::string value;
    return switch_value("/DUPDB", value) ? value : std::string();
}

// The open store, or null when there is none (or it cannot be opened).
sqlite3 *store()
{
    StoreState &s = state();
    const std::string path = configured_path();
    if (path.empty()) {
        s.lookup.reset();
        s.insert.reset();
        s.db.reset();
        s.open_path.clear();
        return nullptr;
    }
    if (s.db && s.open_path == path)
        return s.db.get();
    s.lookup.reset();
    s.insert.reset();
    s.db.reset();
    s.open_path = path;
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty())
        qvcom::detail::create_private_directories(parent);
    // SQLite creates the store 0644 and gives its journals the store's mode;
    // an empty file made here first (a valid empty database) keeps both
    // private.
    const bool on_disk = path != ":memory:" && !path.starts_with("file:");
    if (std::FILE *created = on_disk ? qvcom::detail::open_private_file(path.c_str(), "a") : nullptr)
        std::fclose(created);
    sqlite3 *raw = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                                   nullptr);
    std::unique_ptr<sqlite3, DbCloser> db(raw);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
        if (sqlite3_exec(db.get(), kSchema, nullptr, nullptr, nullptr) == SQLITE_OK) {
            s.db = std::move(db);
            return s.db.get();
        }
    }
    if (!s.failed_path_logged) {
        com_Log("QV Warning: cannot open the duplicate store %s: %s", path.c_str(),
                raw ? sqlite3_errmsg(raw) : "out of memory");
        s.failed_path_logged = true;
    }
    return nullptr;
}

// ---- the item key ------------------------------------------------------------

class KeyBuilder {
  public:
    explicit KeyBuilder(const std::string &work_dir)
        : folder_(work_dir), ctx_(EVP_MD_CTX_new(), EVP_MD_CTX_free)
    {
        EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr);
    }

    // Every field is written with its length, so no two items share a
    // byte stream by accident.
    void bytes(const void *data, std::size_t n)
    {
        const std::uint64_t len = n;
        EVP_DigestUpdate(ctx_.get(), &len, sizeof len);
        if (n)
            EVP_DigestUpdate(ctx_.get(), data, n);
    }
    void text(const char *s, std::size_t capacity) { bytes(s, strnlen(s, capacity)); }
    template <std::size_t N> void text(const char (&s)[N]) { text(s, N); }
    void number(std::int64_t v) { bytes(&v, sizeof v); }

    // The file's bytes, read straight into one buffer: a part file of a
    // message usually takes a single read call.
    void file(const std::string &path)
    {
        const int fd = folder_.OpenForReading(path);
        struct stat info {};
        if (fd < 0 || ::fstat(fd, &info) != 0) {
            if (fd >= 0)
                ::close(fd);
            number(-1);
            return;
        }
        hash_to_end(fd, info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0);
        ::close(fd);
        number(-2); // end of file content
    }

    Key finish()
    {
        Key key{};
        unsigned int n = 0;
        EVP_DigestFinal_ex(ctx_.get(), key.data(), &n);
        return key;
    }

  private:
    // Hashes everything up to the end of the file; `expected` (its size
    // when opened) only spares the read that would find the end.
    void hash_to_end(int fd, std::uint64_t expected)
    {
        static constexpr std::size_t kBlock = 65536;
        char buf[kBlock];
        std::uint64_t total = 0;
        for (;;) {
            const ssize_t got = ::read(fd, buf, kBlock);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return;
            EVP_DigestUpdate(ctx_.get(), buf, static_cast<std::size_t>(got));
            total += static_cast<std::uint64_t>(got);
            if (total == expected)
                return;
        }
    }

    const qvcommon::PartFolder folder_; // of the work directory
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> ctx_;
};

void add_texts(KeyBuilder &k, const qv_message &m)
{
    k.text(m.from_name);
    k.text(m.from_address);
    k.text(m.sent_representing);
    k.text(m.subject);
    k.text(m.message_id);
    k.text(m.uid);
    k.text(m.delivered_to);
    for (const auto *field :
         {m.first_name, m.last_name, m.middle_name, m.title, m.location, m.department, m.manager,
          m.assistant_name, m.business_phone, m.home_phone, m.other_phone, m.business_phone2,
          m.assistant_phone, m.business_fax, m.mobile_phone, m.company, m.business_street,
          m.business_street2, m.business_city, m.business_state, m.business_postal_code,
          m.business_country, m.email2, m.email3, m.pager, m.web_page, m.home_street,
          m.home_street2, m.home_city, m.home_state, m.home_postal_code, m.home_country, m.file_as,
          m.organizer_name})
        k.text(field, 512);
    k.text(m.email1);
    k.text(m.organizer_address);
    k.text(m.time_zone);
}

void add_numbers(KeyBuilder &k, const qv_message &m)
{
    k.number(m.item_type);
    k.number(m.date_missing ? 0 : static_cast<std::int64_t>(m.date));
    for (std::int64_t v :
         {std::int64_t(m.priority), std::int64_t(m.importance), std::int64_t(m.contact_kind),
          std::int64_t(m.entry_type), std::int64_t(m.start_time), std::int64_t(m.end_time),
          std::int64_t(m.complete_date), std::int64_t(m.is_private), std::int64_t(m.busy_status),
          std::int64_t(m.recur_type), std::int64_t(m.recur_interval),
          std::int64_t(m.recur_week_index), std::int64_t(m.recur_days), std::int64_t(m.recur_month),
          std::int64_t(m.recur_day_of_month), std::int64_t(m.recur_range),
          std::int64_t(m.recur_count), std::int64_t(m.recur_end), std::int64_t(m.percent_complete),
          std::int64_t(m.reminder_set), std::int64_t(m.reminder_minutes), std::int64_t(m.all_day),
          std::int64_t(m.task_status), std::int64_t(m.reminder_time)})
        k.number(v);
}

void add_message(KeyBuilder &k, const qv_message &m, const std::string &work_dir, int depth)
{
    add_numbers(k, m);
    add_texts(k, m);
    const int recipients = std::min(m.recipient_count, QV_MAX_RECIPIENTS);
    k.number(recipients);
    for (int i = 0; i < recipients; ++i)
        if (const qv_recipient *r = m.recipients[i]) {
            k.text(r->name);
            k.text(r->address);
            k.number(r->kind);
        }
    const int parts = std::min(m.part_count, QV_MAX_PARTS);
    k.number(parts);
    for (int i = 0; i < parts; ++i) {
        const qv_part *p = m.parts[i];
        if (!p)
            continue;
        k.text(p->file_name);
        k.text(p->content_id);
        k.number(p->part_type);
        if (p->part_type == QV_PART_EMBEDDED_MSG && p->sub_message) {
            if (depth < kMaxKeyDepth)
                add_message(k, *p->sub_message, work_dir, depth + 1);
            continue;
        }
        char name[64];
        std::snprintf(name, sizeof name, "PRT%03d%02d.TMP", m.msg_number, i);
        k.file(work_dir + name);
    }
}

Key item_key(const qv_message &msg, const char *work_dir, const char *folder)
{
    const std::string dir = work_dir ? work_dir : "";
    KeyBuilder k(dir);
    k.text(state().scope.c_str(), state().scope.size() + 1);
    k.text(folder ? folder : "", SIZE_MAX);
    add_message(k, msg, dir, 0);
    return k.finish();
}

// A cached statement, prepared on first use and reset after each use: a
// statement left unreset would hold its read transaction open.
class StatementUse {
  public:
    StatementUse(sqlite3 *db, Statement &cached, const char *sql)
    {
        if (!cached) {
            sqlite3_stmt *raw = nullptr;
            if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK)
                sqlite3_finalize(raw);
            else
                cached.reset(raw);
        }
        stmt_ = cached.get();
    }
    ~StatementUse()
    {
        if (stmt_) {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
        }
    }
    StatementUse(const StatementUse &) = delete;
    StatementUse &operator=(const StatementUse &) = delete;

    sqlite3_stmt *get() const { return stmt_; }

  private:
    sqlite3_stmt *stmt_ = nullptr;
};

bool store_has(sqlite3 *db, const Key &key)
{
    StatementUse use(db, state().lookup, "SELECT 1 FROM migrated WHERE key = ?1");
    if (!use.get())
        return false;
    sqlite3_bind_blob(use.get(), 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    return sqlite3_step(use.get()) == SQLITE_ROW;
}

void store_add(sqlite3 *db, const unsigned char *key, const char *folder)
{
    StatementUse use(db, state().insert,
                     "INSERT OR IGNORE INTO migrated (key, folder, stored_at) "
                     "VALUES (?1, ?2, strftime('%s','now'))");
    if (!use.get())
        return;
    sqlite3_bind_blob(use.get(), 1, key, static_cast<int>(sizeof(Key)), SQLITE_STATIC);
    sqlite3_bind_text(use.get(), 2, folder ? folder : "", -1, SQLITE_STATIC);
    if (sqlite3_step(use.get()) != SQLITE_DONE)
        com_Log("QV Warning: cannot record a migrated item: %s", sqlite3_errmsg(db));
}

// Many keys in one transaction: one journal write and one round of locks
// for a whole bundle instead of one per item.  Without the transaction
// (the store is busy) each key goes on its own.
void store_add_all(sqlite3 *db, const unsigned char *keys, std::size_t count, const char *folder)
{
    const bool batched =
        count > 1 && sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    for (std::size_t i = 0; i < count; ++i)
        store_add(db, keys + i * sizeof(Key), folder);
    if (batched && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        com_Log("QV Warning: cannot record %zu migrated items: %s", count, sqlite3_errmsg(db));
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

} // namespace

void reset_duplicate_store()
{
    state() = StoreState{};
}

} // namespace qvcom::mime

using namespace qvcom::mime;

extern "C" QVCOM_API int com_MsgIsDuplicate(qv_message *msg, const char *work_dir, int mode,
                                           const char *folder)
{
    if (!msg)
        return 0;
    StoreState &s = state();
    const std::string folder_name = folder ? folder : "";
    switch (mode) {
    case QVCOM_DUP_IDENTIFY: {
        static const std::uint8_t kZero[sizeof msg->binary_id] = {};
        if (std::memcmp(msg->binary_id, kZero, sizeof kZero) == 0) {
            const Key key = item_key(*msg, work_dir, folder);
            std::memcpy(msg->binary_id, key.data(), sizeof msg->binary_id);
        }
        return 0;
    }
    case QVCOM_DUP_CHECK: {
        sqlite3 *db = store();
        s.last_key_set = db != nullptr;
        if (!db)
            return 0;
        s.last_key = item_key(*msg, work_dir, folder);
        s.last_msg = msg;
        s.last_number = msg->msg_number;
        s.last_folder = folder_name;
        return store_has(db, s.last_key) ? 1 : 0;
    }
    case QVCOM_DUP_REMEMBER: {
        sqlite3 *db = store();
        if (!db)
            return 0;
        const bool same = s.last_msg == msg && s.last_number == msg->msg_number &&
                          s.last_folder == folder_name;
        const Key key = same ? s.last_key : item_key(*msg, work_dir, folder);
        s.last_msg = nullptr;
        store_add(db, key.data(), folder);
        return 0;
    }
    default:
        return 0;
    }
}

extern "C" QVCOM_API int qvcom_set_duplicate_store(const char *path, const char *scope)
{
    StoreState &s = state();
    s.api_path = path ? std::string(path) : default_store_path();
    s.scope = scope ? scope : "";
    s.failed_path_logged = false;
    s.last_msg = nullptr;
    s.last_key_set = false;
    return (s.api_path->empty() || store()) ? 1 : 0;
}

extern "C" QVCOM_API int qvcom_last_duplicate_key(unsigned char *key)
{
    const StoreState &s = state();
    if (!key || !s.last_key_set)
        return 0;
    std::memcpy(key, s.last_key.data(), s.last_key.size());
    return 1;
}

extern "C" QVCOM_API int qvcom_remember_duplicate_keys(const unsigned char *keys, size_t count,
                                                      const char *folder)
{
    sqlite3 *db = store();
    if (!db)
        return 0;
    if (keys && count > 0)
        store_add_all(db, keys, count, folder);
    return 1;
}
