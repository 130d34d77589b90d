// Who may use the sandbox: mailbox users, delegate administrators,
// WorkMail impersonation roles, the tokens issued for roles and the session
// cookies issued after a successful logon.  Kept in DIR/accounts.db (SQLite,
// WAL), separate from the mail store.
//
// Passwords are stored as salted PBKDF2 hashes; tokens and cookies as
// SHA-256 hashes, so the file never holds a usable credential except the
// role secrets, which SigV4 verification needs in clear.
//
// Every method is safe to call from several threads.  Methods that depend
// on time take `now` so tests can check expiry without sleeping.
#pragma once

#include <sqlite3.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "crypto_util.hpp"
#include "sqlite_cache.hpp"

namespace sandbox {

struct ImpersonationRole {
    std::string organization_id;
    std::string role_id;
    std::string access_key;
    std::string secret;
    std::vector<std::string> mailboxes; // lower case
    bool covers(const std::string &mailbox) const;
};

// What a session cookie or a bearer token stands for.
struct Principal {
    enum class Kind { User, Role } kind = Kind::User;
    std::string name;            // the mailbox of a user, the access key of a role
    bool delegate_admin = false; // users only
    std::optional<ImpersonationRole> role; // roles only
    UnixSeconds expires_at = 0;  // of the token behind a role session
};

struct IssuedToken {
    std::string token;
    UnixSeconds expires_in = 0;
};

class AccountStore {
  public:
    // Opens (creating when needed) DIR/accounts.db.  Throws std::runtime_error.
    static std::unique_ptr<AccountStore> open(const std::string &data_dir);
    ~AccountStore();
    AccountStore(const AccountStore &) = delete;
    AccountStore &operator=(const AccountStore &) = delete;

    // Adds the user, or replaces its password and flag.  Returns true when
    // the user is new.
    bool add_user(const std::string &mailbox, const std::string &password, bool delegate_admin);
    // The user when mailbox and password match, else nullopt.
    std::optional<Principal> check_password(const std::string &mailbox,
                                            const std::string &password) const;
    bool user_exists(const std::string &mailbox) const;

    // Adds or replaces the role (organization_id, role_id).
    bool add_role(const ImpersonationRole &role);
    std::optional<ImpersonationRole> find_role(const std::string &organization_id,
                                               const std::string &role_id) const;
    std::optional<ImpersonationRole> find_role_by_key(const std::string &access_key) const;
    bool organization_exists(const std::string &organization_id) const;

    IssuedToken issue_token(const ImpersonationRole &role, int lifetime_seconds, UnixSeconds now);
    // The role behind an unexpired token, else nullopt.
    std::optional<Principal> check_token(const std::string &token, UnixSeconds now) const;

    // A new session cookie value for the principal.  Role sessions end when
    // their token expires, user sessions after kUserSessionSeconds.
    std::string open_session(const Principal &who, UnixSeconds now);
    std::optional<Principal> check_session(const std::string &cookie, UnixSeconds now) const;

    static constexpr int kUserSessionSeconds = 8 * 3600;

  private:
    explicit AccountStore(sqlite3 *db) : db_(db), statements_(db), verify_key_(random_hex(32)) {}
    void forget_expired(UnixSeconds now);
    bool verified_before(const std::string &mailbox, const std::string &stored_hash,
                         const std::string &proof) const;
    sqlite3 *db_;
    // Every request checks its session: the queries are compiled once.
    mutable StatementCache statements_;

    // Clients send Basic credentials with every request, and PBKDF2 takes
    // milliseconds.  Once a password has been checked, a keyed digest of it
    // (never the password) stands for it as long as the user's stored hash
    // is the one it was checked against; changing the password ends it.
    struct Verified {
        std::string stored_hash;
        std::string proof; // HMAC-SHA-256(verify_key_, salt + password)
    };
    const std::string verify_key_;
    mutable std::mutex verified_mutex_;
    mutable std::map<std::string, Verified> verified_;
};

// Checks the forms the fake WorkMail API and `role add` accept.
bool valid_organization_id(const std::string &id); // ^m-[0-9a-f]{32}$
bool valid_role_id(const std::string &id);         // [a-zA-Z0-9_-]{1,64}

} // namespace sandbox
