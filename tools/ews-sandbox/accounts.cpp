#include "accounts.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "private_files.hpp"

namespace sandbox {
namespace {

constexpr int kPasswordIterations = 10000;
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kTokenBytes = 32;  // 64 hex characters, within WorkMail's 256
constexpr std::size_t kCookieBytes = 24;

constexpr const char *kSchema = R"(
CREATE TABLE IF NOT EXISTS users (
  mailbox TEXT PRIMARY KEY, salt TEXT NOT NULL, password_hash TEXT NOT NULL,
  delegate_admin INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS roles (
  organization_id TEXT NOT NULL, role_id TEXT NOT NULL, access_key TEXT NOT NULL,
  secret TEXT NOT NULL, mailboxes TEXT NOT NULL, PRIMARY KEY (organization_id, role_id));
CREATE TABLE IF NOT EXISTS tokens (
  token_hash TEXT PRIMARY KEY, organization_id TEXT NOT NULL, role_id TEXT NOT NULL,
  expires_at INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS sessions (
  cookie_hash TEXT PRIMARY KEY, kind INTEGER NOT NULL, name TEXT NOT NULL,
  organization_id TEXT, role_id TEXT, expires_at INTEGER NOT NULL);
)";

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// A statement borrowed from the store's cache for one use.
class Statement {
  public:
    Statement(StatementCache &cache, std::string_view sql)
        : cache_(cache), db_(cache.db()), stmt_(cache.take(sql)) {
        if (!stmt_)
            throw std::runtime_error(std::string("accounts.db: ") + sqlite3_errmsg(db_));
    }
    ~Statement() { cache_.give_back(stmt_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    Statement &bind(int i, const std::string &v) {
        sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement &bind(int i, std::int64_t v) {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    // True while a row is available.
    bool step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc != SQLITE_DONE)
            throw std::runtime_error(std::string("accounts.db: ") + sqlite3_errmsg(db_));
        return false;
    }
    std::string text(int col) const {
        const auto *p = sqlite3_column_text(stmt_, col);
        return p ? reinterpret_cast<const char *>(p) : "";
    }
    std::int64_t integer(int col) const { return sqlite3_column_int64(stmt_, col); }
    bool is_null(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }

  private:
    StatementCache &cache_;
    sqlite3 *db_;
    sqlite3_stmt *stmt_;
};

std::vector<std::string> split_mailboxes(const std::string &joined) {
    std::vector<std::string> out;
    std::istringstream in(joined);
    for (std::string item; std::getline(in, item, ',');)
        if (!item.empty())
            out.push_back(item);
    return out;
}

std::string join_mailboxes(const std::vector<std::string> &mailboxes) {
    std::string out;
    for (const auto &m : mailboxes) {
        if (!out.empty())
            out += ',';
        out += lower(m);
    }
    return out;
}

ImpersonationRole role_from_row(const Statement &s) {
    return ImpersonationRole{s.text(0), s.text(1), s.text(2), s.text(3),
                             split_mailboxes(s.text(4))};
}

constexpr const char *kRoleColumns =
    "SELECT organization_id, role_id, access_key, secret, mailboxes FROM roles ";

} // namespace

bool ImpersonationRole::covers(const std::string &mailbox) const {
    return std::find(mailboxes.begin(), mailboxes.end(), lower(mailbox)) != mailboxes.end();
}

bool valid_organization_id(const std::string &id) {
    return id.size() == 34 && id.compare(0, 2, "m-") == 0 &&
           std::all_of(id.begin() + 2, id.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

bool valid_role_id(const std::string &id) {
    return !id.empty() && id.size() <= 64 && std::all_of(id.begin(), id.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
    });
}

std::unique_ptr<AccountStore> AccountStore::open(const std::string &data_dir) {
    ensure_private_dir(data_dir);
    const std::string path = (std::filesystem::path(data_dir) / "accounts.db").string();
    prepare_private_file(path);
    sqlite3 *db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        const std::string why = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw std::runtime_error("cannot open " + path + ": " + why);
    }
    std::unique_ptr<AccountStore> store(new AccountStore(db));
    sqlite3_busy_timeout(db, 5000);
    char *err = nullptr;
    // Sessions are written as clients come and go; in WAL mode NORMAL keeps
    // the file consistent without an fsync per request (a crash may lose
    // the last sessions, which clients then open again).
    if (sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr,
                     &err) != SQLITE_OK ||
        sqlite3_exec(db, kSchema, nullptr, nullptr, &err) != SQLITE_OK) {
        const std::string why = err ? err : "unknown error";
        sqlite3_free(err);
        throw std::runtime_error("cannot prepare " + path + ": " + why);
    }
    return store;
}

AccountStore::~AccountStore() {
    statements_.clear(); // a connection with statements left would not close
    sqlite3_close(db_);
}

bool AccountStore::add_user(const std::string &mailbox, const std::string &password,
                            bool delegate_admin) {
    const std::string key = lower(mailbox);
    Statement find(statements_, "SELECT 1 FROM users WHERE mailbox = ?");
    const bool existed = find.bind(1, key).step();
    const std::string salt = random_hex(kSaltBytes);
    Statement put(statements_, "INSERT OR REPLACE INTO users VALUES (?, ?, ?, ?)");
    put.bind(1, key).bind(2, salt);
    put.bind(3, to_hex(pbkdf2_sha256(password, salt, kPasswordIterations)));
    put.bind(4, std::int64_t{delegate_admin}).step();
    return !existed;
}

std::optional<Principal> AccountStore::check_password(const std::string &mailbox,
                                                      const std::string &password) const {
    Statement s(statements_,
                "SELECT salt, password_hash, delegate_admin FROM users WHERE mailbox = ?");
    if (!s.bind(1, lower(mailbox)).step())
        return std::nullopt;
    const std::string salt = s.text(0), stored_hash = s.text(1);
    const std::string proof = hmac_sha256_raw(verify_key_, salt + '\0' + password);
    if (!verified_before(lower(mailbox), stored_hash, proof)) {
        const std::string hash = to_hex(pbkdf2_sha256(password, salt, kPasswordIterations));
        if (!constant_time_equal(hash, stored_hash))
            return std::nullopt;
        std::lock_guard lock(verified_mutex_);
        verified_[lower(mailbox)] = {stored_hash, proof};
    }
    Principal who;
    who.kind = Principal::Kind::User;
    who.name = lower(mailbox);
    who.delegate_admin = s.integer(2) != 0;
    return who;
}

bool AccountStore::verified_before(const std::string &mailbox, const std::string &stored_hash,
                                   const std::string &proof) const {
    std::lock_guard lock(verified_mutex_);
    const auto it = verified_.find(mailbox);
    return it != verified_.end() && it->second.stored_hash == stored_hash &&
           constant_time_equal(it->second.proof, proof);
}

bool AccountStore::user_exists(const std::string &mailbox) const {
    Statement s(statements_, "SELECT 1 FROM users WHERE mailbox = ?");
    return s.bind(1, lower(mailbox)).step();
}

bool AccountStore::add_role(const ImpersonationRole &role) {
    const bool existed = find_role(role.organization_id, role.role_id).has_value();
    Statement put(statements_, "INSERT OR REPLACE INTO roles VALUES (?, ?, ?, ?, ?)");
    put.bind(1, role.organization_id).bind(2, role.role_id).bind(3, role.access_key);
    put.bind(4, role.secret).bind(5, join_mailboxes(role.mailboxes)).step();
    return !existed;
}

std::optional<ImpersonationRole> AccountStore::find_role(const std::string &organization_id,
                                                         const std::string &role_id) const {
    Statement s(statements_,
                std::string(kRoleColumns) + "WHERE organization_id = ? AND role_id = ?");
    if (!s.bind(1, organization_id).bind(2, role_id).step())
        return std::nullopt;
    return role_from_row(s);
}

std::optional<ImpersonationRole> AccountStore::find_role_by_key(const std::string &access_key) const {
    Statement s(statements_, std::string(kRoleColumns) + "WHERE access_key = ? LIMIT 1");
    if (!s.bind(1, access_key).step())
        return std::nullopt;
    return role_from_row(s);
}

bool AccountStore::organization_exists(const std::string &organization_id) const {
    Statement s(statements_, "SELECT 1 FROM roles WHERE organization_id = ? LIMIT 1");
    return s.bind(1, organization_id).step();
}

IssuedToken AccountStore::issue_token(const ImpersonationRole &role, int lifetime_seconds,
                                      UnixSeconds now) {
    forget_expired(now);
    IssuedToken issued{random_hex(kTokenBytes), lifetime_seconds};
    Statement put(statements_, "INSERT INTO tokens VALUES (?, ?, ?, ?)");
    put.bind(1, sha256_hex(issued.token)).bind(2, role.organization_id).bind(3, role.role_id);
    put.bind(4, now + lifetime_seconds).step();
    return issued;
}

std::optional<Principal> AccountStore::check_token(const std::string &token,
                                                   UnixSeconds now) const {
    Statement s(statements_,
                "SELECT organization_id, role_id, expires_at FROM tokens WHERE token_hash = ?");
    if (!s.bind(1, sha256_hex(token)).step() || s.integer(2) <= now)
        return std::nullopt;
    auto role = find_role(s.text(0), s.text(1));
    if (!role)
        return std::nullopt;
    Principal who;
    who.kind = Principal::Kind::Role;
    who.name = role->access_key;
    who.role = std::move(role);
    who.expires_at = s.integer(2);
    return who;
}

std::string AccountStore::open_session(const Principal &who, UnixSeconds now) {
    forget_expired(now);
    const std::string cookie = random_hex(kCookieBytes);
    const bool is_role = who.kind == Principal::Kind::Role && who.role;
    Statement put(statements_, "INSERT INTO sessions VALUES (?, ?, ?, ?, ?, ?)");
    put.bind(1, sha256_hex(cookie)).bind(2, std::int64_t{is_role ? 1 : 0}).bind(3, who.name);
    put.bind(4, is_role ? who.role->organization_id : std::string());
    put.bind(5, is_role ? who.role->role_id : std::string());
    put.bind(6, is_role ? who.expires_at : now + kUserSessionSeconds).step();
    return cookie;
}

std::optional<Principal> AccountStore::check_session(const std::string &cookie,
                                                     UnixSeconds now) const {
    // A user's row comes with the session, in the same read.
    Statement s(statements_, "SELECT s.kind, s.name, s.organization_id, s.role_id, s.expires_at,"
                             " u.delegate_admin FROM sessions s LEFT JOIN users u"
                             " ON s.kind != 1 AND u.mailbox = s.name WHERE s.cookie_hash = ?");
    if (!s.bind(1, sha256_hex(cookie)).step() || s.integer(4) <= now)
        return std::nullopt;
    Principal who;
    who.name = s.text(1);
    who.expires_at = s.integer(4);
    if (s.integer(0) == 1) {
        who.kind = Principal::Kind::Role;
        who.role = find_role(s.text(2), s.text(3));
        if (!who.role)
            return std::nullopt;
        return who;
    }
    // A user's flag is read again: removing delegate rights takes effect at once.
    if (s.is_null(5)) // the user is gone
        return std::nullopt;
    who.kind = Principal::Kind::User;
    who.delegate_admin = s.integer(5) != 0;
    return who;
}

void AccountStore::forget_expired(UnixSeconds now) {
    Statement(statements_, "DELETE FROM tokens WHERE expires_at <= ?").bind(1, now).step();
    Statement(statements_, "DELETE FROM sessions WHERE expires_at <= ?").bind(1, now).step();
}

} // namespace sandbox
