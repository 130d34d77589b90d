// Authentication: the account store and credential checks in process with
// a fixed clock, then the whole matrix against the running server.
#include <gtest/gtest.h>

#include "accounts.hpp"
#include "auth.hpp"
#include "crypto_util.hpp"
#include "qv_test_support.hpp"
#include "signed_api_call.hpp"

namespace {

using namespace sandbox;
using sandbox_test::get_folder;
using sandbox_test::impersonation_header;
using sandbox_test::soap_request;

constexpr const char *kOrg = "m-00000000000000000000000000000001";
constexpr UnixSeconds kNow = 1700000000;

std::string basic(const std::string &user, const std::string &password) {
    return "Basic " + qvtest::base64_encode(user + ":" + password);
}

class Accounts : public sandbox_test::SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        store = AccountStore::open(data_dir.string());
        store->add_user("Alice@Example.com", "alice-pw", false);
        store->add_user("admin@example.com", "admin-pw", true);
        store->add_role({kOrg, "role", "AKID", "secret", {"Alice@example.com", "carol@example.com"}});
        role = *store->find_role(kOrg, "role");
    }
    Authentication auth(const std::string &authorization, const std::string &cookie = "",
                        UnixSeconds now = kNow) {
        return authenticate(*store, authorization, cookie.empty() ? "" : std::string(kSessionCookie) + "=" + cookie,
                            now);
    }
    std::unique_ptr<AccountStore> store;
    ImpersonationRole role;
};

TEST_F(Accounts, BasicCredentials) {
    struct Case {
        std::string header;
        bool accepted;
    } cases[] = {
        {basic("alice@example.com", "alice-pw"), true},
        {basic("ALICE@EXAMPLE.COM", "alice-pw"), true},  // addresses ignore case
        {basic("alice@example.com", "Alice-pw"), false}, // passwords do not
        {basic("alice@example.com", ""), false},
        {basic("nobody@example.com", "alice-pw"), false},
        {"Basic !!!!", false},
        {"Basic YWxpY2U=", false}, // "alice": no colon
        {"basic " + basic("alice@example.com", "alice-pw").substr(6), true},
        {"NTLM TlRMTVNTUAABAAAA", false},
        {"Bearer", false},
    };
    for (const auto &c : cases) {
        const Authentication a = auth(c.header);
        EXPECT_EQ(a.principal.has_value(), c.accepted) << c.header;
        EXPECT_EQ(a.cookie.empty(), !c.accepted) << c.header;
    }
}

TEST_F(Accounts, TokensExpireAndCarryTheirRole) {
    const IssuedToken token = store->issue_token(role, 900, kNow);
    EXPECT_EQ(token.expires_in, 900);
    const Authentication fresh = auth("Bearer " + token.token, "", kNow + 899);
    ASSERT_TRUE(fresh.principal.has_value());
    EXPECT_EQ(fresh.principal->kind, Principal::Kind::Role);
    EXPECT_EQ(fresh.principal->name, "AKID");
    EXPECT_FALSE(auth("Bearer " + token.token, "", kNow + 900).principal.has_value());
    EXPECT_FALSE(auth("Bearer " + token.token + "x").principal.has_value());

    // The session opened with the token ends with it.
    EXPECT_TRUE(auth("", fresh.cookie, kNow + 899).principal.has_value());
    EXPECT_FALSE(auth("", fresh.cookie, kNow + 900).principal.has_value());
}

TEST_F(Accounts, SessionsStandInForCredentials) {
    const Authentication first = auth(basic("admin@example.com", "admin-pw"));
    ASSERT_TRUE(first.principal.has_value());
    EXPECT_TRUE(first.principal->delegate_admin);

    // Presenting the cookie with the credentials keeps the same session.
    EXPECT_EQ(auth(basic("admin@example.com", "admin-pw"), first.cookie).cookie, first.cookie);
    // The cookie alone authenticates as the same user.
    const Authentication alone = auth("", first.cookie);
    ASSERT_TRUE(alone.principal.has_value());
    EXPECT_EQ(alone.principal->name, "admin@example.com");
    // Wrong credentials are refused even with a valid cookie.
    EXPECT_FALSE(auth(basic("admin@example.com", "wrong"), first.cookie).principal.has_value());
    // Rights are read at each use: a demoted administrator loses them at once.
    store->add_user("admin@example.com", "admin-pw", false);
    const Authentication demoted = auth("", first.cookie);
    ASSERT_TRUE(demoted.principal.has_value());
    EXPECT_FALSE(demoted.principal->delegate_admin);
    // Unknown or expired cookies are nothing.
    EXPECT_FALSE(auth("", "0123").principal.has_value());
    EXPECT_FALSE(auth("", first.cookie, kNow + AccountStore::kUserSessionSeconds).principal.has_value());
}

TEST_F(Accounts, MailboxOfEachPrincipal) {
    Principal user{Principal::Kind::User, "alice@example.com", false, std::nullopt, 0};
    Principal by_role{Principal::Kind::Role, "AKID", false, role, kNow + 900};
    auto envelope = [](const char *impersonated) {
        RequestEnvelope e;
        e.has_impersonation = impersonated != nullptr;
        e.impersonated_address = impersonated ? impersonated : "";
        return e;
    };
    EXPECT_EQ(settle_mailbox(user, envelope(nullptr)), "alice@example.com");
    EXPECT_EQ(settle_mailbox(user, envelope("alice@example.com")), std::nullopt);
    EXPECT_EQ(settle_mailbox(by_role, envelope("CAROL@example.com")), "carol@example.com");
    EXPECT_EQ(settle_mailbox(by_role, envelope("bob@example.com")), std::nullopt);
    EXPECT_EQ(settle_mailbox(by_role, envelope("")), std::nullopt);
    EXPECT_EQ(settle_mailbox(by_role, envelope(nullptr)), std::nullopt);
}

TEST_F(Accounts, FileHoldsNoUsableCredential) {
    const IssuedToken token = store->issue_token(role, 900, kNow);
    const std::string cookie = auth(basic("alice@example.com", "alice-pw")).cookie;
    store.reset();
    const std::string bytes =
        qvtest::read_file(data_dir / "accounts.db") + qvtest::read_file(data_dir / "accounts.db-wal");
    for (const std::string &secret : {std::string("alice-pw"), token.token, cookie})
        EXPECT_EQ(bytes.find(secret), std::string::npos) << secret;
}

// --- Against the server -------------------------------------------------------

class AuthMatrix : public sandbox_test::SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        add_user("alice@example.com", "alice-pw");
        add_user("bob@example.com", "bob-pw");
        add_user("admin@example.com", "admin-pw", true);
        add_role(kOrg, "role", "AKIDROLE", "role-secret", "alice@example.com");
    }
    // The request passed authentication and reached GetFolder, which succeeded.
    static bool reached_operation(const sandbox_test::HttpResult &r) {
        return r.curl == CURLE_OK && r.status == 200 && r.contains("<m:ResponseCode>NoError</m:ResponseCode>");
    }
};

TEST_F(AuthMatrix, CredentialsCookiesTokensAndDelegates) {
    auto &server = start();
    auto client = server.client();

    auto r = client.no_credentials().ews(soap_request(get_folder()));
    EXPECT_EQ(r.status, 401);
    EXPECT_NE(r.header("WWW-Authenticate").find("Basic"), std::string::npos);
    EXPECT_TRUE(r.header("Set-Cookie").empty());

    EXPECT_EQ(client.basic("alice@example.com", "wrong").ews(soap_request(get_folder())).status, 401);
    EXPECT_EQ(client.bearer("not-a-token").ews(soap_request(get_folder())).status, 401);

    // The connector drops its credentials after logon: the cookie alone
    // works (every connector test against the sandbox relies on it), and a
    // fresh client without the cookie does not.
    EXPECT_TRUE(reached_operation(client.basic("alice@example.com", "alice-pw").ews(soap_request(get_folder()))));
    EXPECT_EQ(server.client().ews(soap_request(get_folder())).status, 401);

    // Tokens of the role impersonate the mailboxes it covers, and only with
    // ExchangeImpersonation.
    client = server.client();
    const std::string token = sandbox_test::obtain_token(client, kOrg, "role", "AKIDROLE", "role-secret");
    ASSERT_FALSE(token.empty());

    client.bearer(token);
    r = client.ews(soap_request(get_folder()));
    EXPECT_EQ(r.status, 500) << "a token without ExchangeImpersonation";
    EXPECT_EQ(r.fault_code(), "ErrorImpersonateUserDenied");
    r = client.ews(soap_request(get_folder(), impersonation_header("bob@example.com")));
    EXPECT_EQ(r.fault_code(), "ErrorImpersonateUserDenied") << "a mailbox the role does not cover";
    // The grant itself, and the session cookie carrying it, are the ordinary
    // path of qvmigrate's batch end-to-end test.
    r = client.ews(soap_request(get_folder(), impersonation_header("alice@example.com")));
    EXPECT_TRUE(reached_operation(r)) << r.status << r.body;

    // Which mailbox a delegate administrator or a plain user may name is
    // OpsFolders.DelegateMarker...'s; the server hands it the right flag
    // and which mailboxes exist.
    auto admin = server.client().basic("admin@example.com", "admin-pw");
    r = admin.ews(soap_request(get_folder("inbox", "alice@example.com")));
    ASSERT_TRUE(reached_operation(r)) << r.body;
    EXPECT_TRUE(admin.ews(soap_request(get_folder("inbox", "nobody@example.com"))).contains("ErrorNonExistentMailbox"));
    r = server.client().basic("bob@example.com", "bob-pw").ews(soap_request(get_folder("inbox", "alice@example.com")));
    EXPECT_TRUE(r.contains("ResponseClass=\"Error\"")) << r.body;
    // Users, administrators too, may not impersonate.
    r = admin.ews(soap_request(get_folder(), impersonation_header("alice@example.com")));
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(r.fault_code(), "ErrorImpersonateUserDenied");
}

} // namespace
