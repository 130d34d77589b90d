#include "sqlite_cache.hpp"

namespace sandbox {

sqlite3_stmt *StatementCache::take(std::string_view sql) {
    {
        std::lock_guard lock(mutex_);
        auto it = idle_.find(sql);
        if (it != idle_.end() && !it->second.empty()) {
            sqlite3_stmt *stmt = it->second.back();
            it->second.pop_back();
            return stmt;
        }
    }
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr) !=
        SQLITE_OK) {
        sqlite3_finalize(stmt);
        return nullptr;
    }
    return stmt;
}

void StatementCache::give_back(sqlite3_stmt *stmt) {
    if (!stmt) return;
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    // Keyed by the text the statement was compiled from: the same text
    // take() looks for.
    const char *text = sqlite3_sql(stmt);
    {
        std::lock_guard lock(mutex_);
        auto it = text ? idle_.find(std::string_view(text)) : idle_.end();
        if (text && it == idle_.end() && idle_.size() < kMaxTexts)
            it = idle_.emplace(text, std::vector<sqlite3_stmt *>()).first;
        if (it != idle_.end() && it->second.size() < kMaxIdlePerText) {
            it->second.push_back(stmt);
            return;
        }
    }
    sqlite3_finalize(stmt);
}

void StatementCache::clear() {
    std::lock_guard lock(mutex_);
    for (auto &[text, list] : idle_)
        for (sqlite3_stmt *stmt : list) sqlite3_finalize(stmt);
    idle_.clear();
}

std::size_t StatementCache::idle() const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto &[text, list] : idle_) n += list.size();
    return n;
}

} // namespace sandbox
