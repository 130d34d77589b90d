// Wrappers for SQLite statements and transactions used by the mailbox
// store.  Failures throw StoreError; the store's callers turn that into an
// EWS error answer instead of a crash.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "sqlite_cache.hpp"

namespace sandbox {

struct StoreError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A statement borrowed from the connection's cache for one use.
class Stmt {
  public:
    Stmt(StatementCache &cache, std::string_view sql)
        : cache_(cache), db_(cache.db()), stmt_(cache.take(sql)) {
        if (!stmt_) throw StoreError(std::string("prepare: ") + sqlite3_errmsg(db_));
    }
    ~Stmt() { cache_.give_back(stmt_); }
    Stmt(const Stmt &) = delete;
    Stmt &operator=(const Stmt &) = delete;

    Stmt &bind(int i, std::int64_t v) {
        check(sqlite3_bind_int64(stmt_, i, v));
        return *this;
    }
    Stmt &bind(int i, std::string_view v) {
        check(sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
        return *this;
    }
    // Not copied: `v` must stay alive while the statement runs.
    Stmt &bind_blob(int i, std::string_view v) {
        check(sqlite3_bind_blob64(stmt_, i, v.data(), v.size(), SQLITE_STATIC));
        return *this;
    }
    Stmt &bind_null(int i) {
        check(sqlite3_bind_null(stmt_, i));
        return *this;
    }
    // True while a row is available.
    bool step() {
        int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw StoreError(std::string("step: ") + sqlite3_errmsg(db_));
    }
    void run() {
        while (step()) {
        }
    }
    std::int64_t integer(int col) const { return sqlite3_column_int64(stmt_, col); }
    bool is_null(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
    std::string text(int col) const {
        const void *p = sqlite3_column_blob(stmt_, col);
        int n = sqlite3_column_bytes(stmt_, col);
        return p ? std::string(static_cast<const char *>(p), static_cast<std::size_t>(n))
                 : std::string();
    }

  private:
    void check(int rc) {
        if (rc != SQLITE_OK) throw StoreError(std::string("bind: ") + sqlite3_errmsg(db_));
    }
    StatementCache &cache_;
    sqlite3 *db_;
    sqlite3_stmt *stmt_;
};

inline void exec_sql(sqlite3 *db, const char *sql) {
    char *err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err ? err : "unknown error";
        sqlite3_free(err);
        throw StoreError(msg);
    }
}

// BEGIN IMMEDIATE ... COMMIT, rolled back when left by an exception.
class Transaction {
  public:
    explicit Transaction(sqlite3 *db) : db_(db) { exec_sql(db, "BEGIN IMMEDIATE"); }
    ~Transaction() {
        if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void commit() {
        exec_sql(db_, "COMMIT");
        done_ = true;
    }

  private:
    sqlite3 *db_;
    bool done_ = false;
};

} // namespace sandbox
