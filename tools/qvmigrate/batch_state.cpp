// batch_state.cpp - the batch state in SQLite.
#include "batch_state.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <stdexcept>

#include <unistd.h>

#include "private_files.hpp"

namespace qvmigrate {

namespace {

constexpr int kBusyTimeoutMs = 30000;
constexpr int kProtocolRetries = 20;
constexpr useconds_t kProtocolRetryUs = 50'000;

const char kSchema[] = R"(
PRAGMA journal_mode=WAL;
PRAGMA synchronous=NORMAL;
CREATE TABLE IF NOT EXISTS mailboxes (
  source TEXT NOT NULL, target TEXT NOT NULL,
  status TEXT NOT NULL DEFAULT 'pending', attempts INTEGER NOT NULL DEFAULT 0,
  error TEXT NOT NULL DEFAULT '', seconds REAL NOT NULL DEFAULT 0,
  verified INTEGER NOT NULL DEFAULT 0, listed_items INTEGER NOT NULL DEFAULT -1,
  updated_at INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY (source, target));
CREATE TABLE IF NOT EXISTS folders (
  source TEXT NOT NULL, target TEXT NOT NULL, path TEXT NOT NULL, kind TEXT NOT NULL,
  status TEXT NOT NULL, source_total INTEGER, migrated INTEGER, duplicates INTEGER,
  outside_dates INTEGER, skipped INTEGER, failed INTEGER, seconds REAL, notes TEXT,
  PRIMARY KEY (source, target, path));
CREATE TABLE IF NOT EXISTS failed_items (
  source TEXT NOT NULL, target TEXT NOT NULL, folder TEXT NOT NULL,
  subject TEXT NOT NULL, date TEXT NOT NULL, reason TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS differences (
  source TEXT NOT NULL, target TEXT NOT NULL, text TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
)";

class Statement {
  public:
    Statement(sqlite3 *db, const char *sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("batch state: ") + sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    Statement &bind(int index, const std::string &text) {
        sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement &bind(int index, long long number) {
        sqlite3_bind_int64(stmt_, index, number);
        return *this;
    }
    Statement &bind_real(int index, double number) {
        sqlite3_bind_double(stmt_, index, number);
        return *this;
    }
    // true while rows come; throws on an error.
    bool step() {
        const int result = sqlite3_step(stmt_);
        if (result == SQLITE_ROW)
            return true;
        if (result == SQLITE_DONE)
            return false;
        throw std::runtime_error(std::string("batch state: ") +
                                 sqlite3_errmsg(sqlite3_db_handle(stmt_)));
    }
    void run() {
        step();
        sqlite3_reset(stmt_);
    }
    std::string text(int column) const {
        const auto *value = sqlite3_column_text(stmt_, column);
        return value != nullptr ? reinterpret_cast<const char *>(value) : "";
    }
    long long number(int column) const { return sqlite3_column_int64(stmt_, column); }
    double real(int column) const { return sqlite3_column_double(stmt_, column); }

  private:
    sqlite3_stmt *stmt_ = nullptr;
};

std::string join_lines(const std::vector<std::string> &lines) {
    std::string joined;
    for (const std::string &line : lines)
        joined += (joined.empty() ? "" : "\n") + line;
    return joined;
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (!text.empty() && start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string folder_status(const FolderCounts &c) {
    if (c.failed > 0)
        return "failed";
    for (const std::string &note : c.notes) {
        if (note.starts_with("interrupted"))
            return "interrupted";
    }
    return "done";
}

MailboxStatus status_from(const std::string &name) {
    if (name == "running")
        return MailboxStatus::Running;
    if (name == "done")
        return MailboxStatus::Done;
    if (name == "failed")
        return MailboxStatus::Failed;
    return MailboxStatus::Pending;
}

// Folder rows of earlier runs, by path.
std::map<std::string, FolderCounts> earlier_folders(sqlite3 *db, const std::string &source,
                                                    const std::string &target) {
    std::map<std::string, FolderCounts> folders;
    Statement query(db, "SELECT path, migrated FROM folders WHERE source=? AND target=?");
    query.bind(1, source).bind(2, target);
    while (query.step())
        folders[query.text(0)].migrated = static_cast<int>(query.number(1));
    return folders;
}

} // namespace

std::string status_name(MailboxStatus status) {
    switch (status) {
    case MailboxStatus::Running: return "running";
    case MailboxStatus::Done: return "done";
    case MailboxStatus::Failed: return "failed";
    default: return "pending";
    }
}

void BatchState::Closer::operator()(sqlite3 *db) const {
    sqlite3_close(db);
}

BatchState::BatchState(const std::filesystem::path &file, bool create) {
    sqlite3 *db = nullptr;
    const int opened = sqlite3_open_v2(file.c_str(), &db,
                                       SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0),
                                       nullptr);
    db_.reset(db);
    if (opened != SQLITE_OK)
        throw std::runtime_error("cannot open the batch state " + file.string() + ": " +
                                 (db != nullptr ? sqlite3_errmsg(db) : "out of memory"));
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    if (create) {
        exec(kSchema);
        make_private_file(file);
    }
}

BatchState::~BatchState() = default;

void BatchState::exec(const std::string &sql) const {
    char *message = nullptr;
    int result = sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, &message);
    // A WAL store answers "locking protocol" while another process sets up
    // its shared memory; that passes.
    for (int attempt = 0; result == SQLITE_PROTOCOL && attempt < kProtocolRetries; ++attempt) {
        sqlite3_free(message);
        message = nullptr;
        usleep(kProtocolRetryUs);
        result = sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, &message);
    }
    if (result != SQLITE_OK) {
        const std::string reason = message != nullptr ? message : "unknown error";
        sqlite3_free(message);
        throw std::runtime_error("batch state: " + reason);
    }
}

void BatchState::add_plan(const std::vector<PlanLine> &plan) {
    exec("BEGIN IMMEDIATE");
    Statement insert(db_.get(), "INSERT OR IGNORE INTO mailboxes (source, target) VALUES (?, ?)");
    for (const PlanLine &line : plan)
        insert.bind(1, line.source).bind(2, line.target).run();
    exec("COMMIT");
}

MailboxRecord BatchState::mailbox(const std::string &source, const std::string &target) const {
    MailboxRecord record;
    record.source = source;
    record.target = target;
    Statement row(db_.get(), "SELECT status, attempts, error, seconds, verified, listed_items "
                             "FROM mailboxes WHERE source=? AND target=?");
    row.bind(1, source).bind(2, target);
    if (row.step()) {
        record.status = status_from(row.text(0));
        record.attempts = static_cast<int>(row.number(1));
        record.error = row.text(2);
        record.seconds = row.real(3);
        record.verified = row.number(4) != 0;
        record.listed_items = static_cast<int>(row.number(5));
    }
    Statement folders(db_.get(), "SELECT path, kind, status, source_total, migrated, duplicates, "
                                 "outside_dates, skipped, failed, seconds, notes FROM folders "
                                 "WHERE source=? AND target=? ORDER BY path");
    folders.bind(1, source).bind(2, target);
    while (folders.step()) {
        FolderRecord folder;
        FolderCounts &c = folder.counts;
        c.path = folders.text(0);
        c.kind = folders.text(1);
        folder.status = folders.text(2);
        c.source_total = static_cast<int>(folders.number(3));
        c.migrated = static_cast<int>(folders.number(4));
        c.duplicates = static_cast<int>(folders.number(5));
        c.outside_dates = static_cast<int>(folders.number(6));
        c.skipped = static_cast<int>(folders.number(7));
        c.failed = static_cast<int>(folders.number(8));
        c.seconds = folders.real(9);
        c.notes = split_lines(folders.text(10));
        record.folders.push_back(std::move(folder));
    }
    Statement items(db_.get(), "SELECT folder, subject, date, reason FROM failed_items "
                               "WHERE source=? AND target=? ORDER BY rowid");
    items.bind(1, source).bind(2, target);
    while (items.step()) {
        for (FolderRecord &folder : record.folders) {
            if (folder.counts.path == items.text(0))
                folder.counts.failed_items.push_back({items.text(1), items.text(2), items.text(3)});
        }
    }
    Statement differences(db_.get(), "SELECT text FROM differences WHERE source=? AND target=? "
                                     "ORDER BY rowid");
    differences.bind(1, source).bind(2, target);
    while (differences.step())
        record.differences.push_back(differences.text(0));
    return record;
}

void BatchState::mark_running(const std::string &source, const std::string &target) {
    Statement update(db_.get(), "UPDATE mailboxes SET status='running', attempts=attempts+1, "
                                "error='', updated_at=? WHERE source=? AND target=?");
    update.bind(1, static_cast<long long>(std::time(nullptr))).bind(2, source).bind(3, target).run();
}

void BatchState::mark_failed(const std::string &source, const std::string &target,
                             const std::string &error) {
    Statement update(db_.get(), "UPDATE mailboxes SET status='failed', error=?, updated_at=? "
                                "WHERE source=? AND target=?");
    update.bind(1, error).bind(2, static_cast<long long>(std::time(nullptr)));
    update.bind(3, source).bind(4, target).run();
}

void BatchState::record_run(const std::string &source, const std::string &target,
                            const JobSummary &summary, double seconds) {
    exec("BEGIN IMMEDIATE");
    try {
        const auto earlier = earlier_folders(db_.get(), source, target);
        Statement upsert(db_.get(),
            "INSERT OR REPLACE INTO folders (source, target, path, kind, status, source_total, "
            "migrated, duplicates, outside_dates, skipped, failed, seconds, notes) "
            "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?)");
        Statement clear_items(db_.get(), "DELETE FROM failed_items WHERE source=? AND target=?");
        clear_items.bind(1, source).bind(2, target).run();
        Statement add_item(db_.get(), "INSERT INTO failed_items VALUES (?,?,?,?,?,?)");
        for (const FolderCounts &c : summary.folders) {
            const auto before = earlier.find(c.path);
            const int migrated_before = before != earlier.end() ? before->second.migrated : 0;
            // Items an earlier run wrote come back as duplicates: they are
            // this batch's own copies, not duplicates found in the target.
            const int duplicates = std::max(0, c.duplicates - migrated_before);
            upsert.bind(1, source).bind(2, target).bind(3, c.path).bind(4, c.kind);
            upsert.bind(5, folder_status(c));
            upsert.bind(6, c.source_total).bind(7, migrated_before + c.migrated);
            upsert.bind(8, duplicates).bind(9, c.outside_dates).bind(10, c.skipped);
            upsert.bind(11, c.failed).bind_real(12, c.seconds).bind(13, join_lines(c.notes));
            upsert.run();
            for (const FailedItem &item : c.failed_items) {
                add_item.bind(1, source).bind(2, target).bind(3, c.path).bind(4, item.subject);
                add_item.bind(5, item.date).bind(6, item.reason).run();
            }
        }
        // A folder left part-written (a stop after the reading ended) keeps
        // the pair to be run again even if the summary's error missed it.
        bool every_folder_done = true;
        for (const FolderCounts &c : summary.folders)
            every_folder_done = every_folder_done && folder_status(c) == "done";
        const bool done = summary.exit_status == kExitOk && summary.error.empty() &&
                          every_folder_done;
        Statement update(db_.get(), "UPDATE mailboxes SET status=?, error=?, seconds=?, "
                                    "updated_at=? WHERE source=? AND target=?");
        const std::string error =
            !summary.error.empty() || done || summary.totals().failed > 0 ? summary.error
                                                                            : "interrupted";
        update.bind(1, std::string(done ? "done" : "failed")).bind(2, error);
        update.bind_real(3, seconds).bind(4, static_cast<long long>(std::time(nullptr)));
        update.bind(5, source).bind(6, target).run();
        exec("COMMIT");
    } catch (...) {
        exec("ROLLBACK");
        throw;
    }
}

void BatchState::record_differences(const std::string &source, const std::string &target,
                                    const std::vector<std::string> &differences) {
    exec("BEGIN IMMEDIATE");
    try {
        store_differences(source, target, differences);
        exec("COMMIT");
    } catch (...) {
        exec("ROLLBACK");
        throw;
    }
}

void BatchState::store_differences(const std::string &source, const std::string &target,
                                   const std::vector<std::string> &differences) {
    Statement clear(db_.get(), "DELETE FROM differences WHERE source=? AND target=?");
    clear.bind(1, source).bind(2, target).run();
    Statement add(db_.get(), "INSERT INTO differences VALUES (?,?,?)");
    for (const std::string &text : differences)
        add.bind(1, source).bind(2, target).bind(3, text).run();
    Statement mark(db_.get(), "UPDATE mailboxes SET verified=1 WHERE source=? AND target=?");
    mark.bind(1, source).bind(2, target).run();
}

void BatchState::record_listing(const std::string &source, const std::string &target, int items) {
    Statement update(db_.get(), "UPDATE mailboxes SET listed_items=? WHERE source=? AND target=?");
    update.bind(1, items).bind(2, source).bind(3, target).run();
}

double BatchState::measured_rate() const {
    Statement query(db_.get(), "SELECT value FROM meta WHERE key='items_per_second'");
    return query.step() ? std::atof(query.text(0).c_str()) : 0;
}

void BatchState::record_rate(double items_per_second) {
    Statement upsert(db_.get(), "INSERT OR REPLACE INTO meta VALUES ('items_per_second', ?)");
    upsert.bind(1, std::to_string(items_per_second)).run();
}

} // namespace qvmigrate
