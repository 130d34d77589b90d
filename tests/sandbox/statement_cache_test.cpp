// The per-connection cache of prepared statements: a statement comes back
// reset and unbound, one use never shares a statement with another, the
// cache stays bounded and lets its connection close.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sqlite_cache.hpp"

using sandbox::StatementCache;

namespace {

struct Db {
    Db() {
        sqlite3_open(":memory:", &db);
        sqlite3_exec(db, "CREATE TABLE t(x); INSERT INTO t VALUES (1), (2), (3);", nullptr, nullptr,
                     nullptr);
    }
    ~Db() { sqlite3_close_v2(db); }
    sqlite3 *db = nullptr;
};

} // namespace

TEST(StatementCache, AStatementComesBackResetUnboundAndIsNeverLentTwice) {
    Db d;
    StatementCache cache(d.db);
    const char *rows = "SELECT x FROM t WHERE x >= coalesce(?, 0) ORDER BY x";
    sqlite3_stmt *first = cache.take(rows);
    ASSERT_NE(first, nullptr);
    sqlite3_bind_int(first, 1, 3);
    ASSERT_EQ(sqlite3_step(first), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(first, 0), 3);
    // The same text while the first is still out: a statement of its own.
    sqlite3_stmt *nested = cache.take(rows);
    ASSERT_NE(nested, nullptr);
    EXPECT_NE(nested, first);
    ASSERT_EQ(sqlite3_step(nested), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(nested, 0), 1);
    EXPECT_EQ(sqlite3_column_int(first, 0), 3);
    cache.give_back(nested);
    cache.give_back(first); // in the middle of its rows
    EXPECT_EQ(cache.idle(), 2u);

    // Reused, it starts from the first row with no value bound.
    for (int round = 0; round < 2; ++round) {
        sqlite3_stmt *again = cache.take(rows);
        EXPECT_TRUE(again == first || again == nested);
        ASSERT_EQ(sqlite3_step(again), SQLITE_ROW);
        EXPECT_EQ(sqlite3_column_int(again, 0), 1);
        cache.give_back(again);
    }
    EXPECT_EQ(cache.idle(), 2u);
    EXPECT_EQ(cache.take("SELEC x"), nullptr);
}

TEST(StatementCache, StaysBoundedAndLetsTheConnectionClose) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    {
        StatementCache cache(db);
        // Four idle statements at most for one text...
        std::vector<sqlite3_stmt *> out;
        for (int i = 0; i < 10; ++i) out.push_back(cache.take("SELECT 'same'"));
        for (sqlite3_stmt *s : out) cache.give_back(s);
        EXPECT_EQ(cache.idle(), 4u);
        // ... and 64 texts: those with values in them would all differ.
        for (int i = 0; i < 100; ++i) cache.give_back(cache.take("SELECT " + std::to_string(i)));
        EXPECT_EQ(cache.idle(), 4u + 63u);
        cache.clear();
        EXPECT_EQ(cache.idle(), 0u);
        cache.give_back(cache.take("SELECT 1"));
    } // the destructor finalizes what is left
    EXPECT_EQ(sqlite3_close(db), SQLITE_OK);
}
