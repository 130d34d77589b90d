// Prepared statements kept per connection.  Compiling a statement costs
// more than running most of ours (a GetItem runs four), so each SQL text
// is compiled once and its statement handed out again after a reset.
//
// Safe from several threads: a statement is lent to one user at a time,
// and a text already lent out gets a second statement of its own, so
// nested and concurrent uses of the same query never share one.
#pragma once

#include <sqlite3.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace sandbox {

class StatementCache {
  public:
    explicit StatementCache(sqlite3 *db) : db_(db) {}
    ~StatementCache() { clear(); }
    StatementCache(const StatementCache &) = delete;
    StatementCache &operator=(const StatementCache &) = delete;

    sqlite3 *db() const { return db_; }

    // A statement for `sql`, from the cache or newly prepared; nullptr when
    // it does not compile (sqlite3_errmsg tells why).
    sqlite3_stmt *take(std::string_view sql);
    // Resets the statement, clears its bindings (they may point into the
    // caller's memory) and keeps it for the next take of the same text.
    void give_back(sqlite3_stmt *stmt);
    // Finalizes every idle statement; the connection closes only once none
    // is left.
    void clear();

    // Idle statements held, for tests.
    std::size_t idle() const;

  private:
    // Bounds, so that SQL built with values in it could not grow the cache
    // without end: such texts are compiled for every use instead.
    static constexpr std::size_t kMaxTexts = 64;
    static constexpr std::size_t kMaxIdlePerText = 4;

    sqlite3 *db_;
    mutable std::mutex mutex_;
    std::map<std::string, std::vector<sqlite3_stmt *>, std::less<>> idle_;
};

} // namespace sandbox
