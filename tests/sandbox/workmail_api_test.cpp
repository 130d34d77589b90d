// The fake WorkMail API: AssumeImpersonationRole in process (fixed clock)
// and through the running server with a plain libcurl client.  Tokens the
// API issues log on in AuthMatrix and qvmigrate's batch end-to-end test;
// their expiry is Accounts'.
#include <gtest/gtest.h>

#include "accounts.hpp"
#include "signed_api_call.hpp"
#include "workmail_api.hpp"

namespace {

using namespace sandbox;
using sandbox_test::ApiCall;
using sandbox_test::sign_assume_role;

constexpr const char *kOrg = "m-0123456789abcdef0123456789abcdef";
constexpr const char *kOtherOrg = "m-fedcba9876543210fedcba9876543210";
constexpr const char *kRole = "migration-role";
constexpr const char *kKey = "AKIDSANDBOX";
constexpr const char *kSecret = "sandbox/secret+key";
constexpr const char *kHost = "127.0.0.1:4443";
constexpr std::time_t kNow = 1700000000; // 2023-11-14 22:13:20 UTC

class WorkMailApi : public sandbox_test::SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        accounts = AccountStore::open(data_dir.string());
        accounts->add_role({kOrg, kRole, kKey, kSecret, {"alice@example.com"}});
        accounts->add_role({kOrg, "other-role", "AKIDOTHER", "other", {"bob@example.com"}});
    }
    ApiAnswer call(const ApiCall &r) { return handle_workmail_api(*accounts, config, r, kNow); }
    std::unique_ptr<AccountStore> accounts;
    SandboxConfig config;
};

// The errors of AssumeImpersonationRole and of the signature ("Common
// Errors" of the AWS API references), for calls signed at kNow unless the
// row says otherwise, some changed after signing.
TEST_F(WorkMailApi, AnswersTheDocumentedErrors) {
    const auto changed = [](void (*change)(ApiCall &)) {
        ApiCall r = sign_assume_role(kHost, kOrg, kRole, kKey, kSecret, kNow);
        change(r);
        return r;
    };
    struct Case {
        const char *what;
        ApiCall call;
        int status;
        const char *type;
    } cases[] = {
        {"any region", sign_assume_role(kHost, kOrg, kRole, kKey, kSecret, kNow, "eu-west-1"), 200, ""},
        {"4 minutes early", sign_assume_role(kHost, kOrg, kRole, kKey, kSecret, kNow - 240), 200, ""},
        {"wrong secret", sign_assume_role(kHost, kOrg, kRole, kKey, "guess", kNow), 403, "InvalidSignatureException"},
        {"unknown key", sign_assume_role(kHost, kOrg, kRole, "AKIDNOBODY", kSecret, kNow), 403,
         "UnrecognizedClientException"},
        {"6 minutes late", sign_assume_role(kHost, kOrg, kRole, kKey, kSecret, kNow - 360), 403,
         "InvalidSignatureException"},
        {"other service", sign_assume_role(kHost, kOrg, kRole, kKey, kSecret, kNow, "us-east-1", "iam"), 403,
         "InvalidSignatureException"},
        {"unknown role", sign_assume_role(kHost, kOrg, "no-such-role", kKey, kSecret, kNow), 400,
         "ResourceNotFoundException"},
        {"role of another key", sign_assume_role(kHost, kOrg, "other-role", kKey, kSecret, kNow), 400,
         "ResourceNotFoundException"},
        {"unknown organization", sign_assume_role(kHost, kOtherOrg, kRole, kKey, kSecret, kNow), 400,
         "OrganizationNotFoundException"},
        {"malformed organization", sign_assume_role(kHost, "org-1", kRole, kKey, kSecret, kNow), 400,
         "InvalidParameterException"},
        {"malformed role", sign_assume_role(kHost, kOrg, "role 1", kKey, kSecret, kNow), 400,
         "InvalidParameterException"},
        {"no authorization", changed([](ApiCall &r) { r.headers.pop_back(); }), 403,
         "MissingAuthenticationTokenException"},
        {"garbled authorization", changed([](ApiCall &r) { r.headers.back().second = "AWS4-HMAC-SHA256 x"; }), 400,
         "IncompleteSignatureException"},
        {"other target", changed([](ApiCall &r) { r.headers[3].second = "WorkMailService.ListUsers"; }), 400,
         "UnknownOperationException"},
    };
    for (const auto &c : cases) {
        const ApiAnswer answer = call(c.call);
        EXPECT_EQ(answer.status, c.status) << c.what << ": " << answer.body;
        EXPECT_EQ(answer.error_type, c.type) << c.what;
        if (*c.type) {
            EXPECT_NE(answer.body.find(std::string("\"__type\":\"") + c.type + "\""), std::string::npos)
                << c.what << ": " << answer.body;
        }
    }
}

TEST_F(WorkMailApi, RefusesBodiesThatAreNotTheRequestObject) {
    for (const char *body : {"", "[]", "{\"OrganizationId\": 5, \"ImpersonationRoleId\": \"r\"}",
                             "{\"OrganizationId\": \"m-0123456789abcdef0123456789abcdef\"}", "{\"Org"}) {
        // Signed properly: only the content is wrong.
        const ApiCall r = sandbox_test::sign_api_call(kHost, body, kKey, kSecret, kNow);
        const ApiAnswer answer = call(r);
        EXPECT_EQ(answer.status, 400) << body << ": " << answer.body;
        EXPECT_TRUE(answer.error_type == "SerializationException" ||
                    answer.error_type == "InvalidParameterException")
            << body << ": " << answer.error_type;
    }
}

TEST_F(WorkMailApi, WorksThroughTheServerWithTheHostTheClientSent) {
    add_role(kOrg, "served-role", "AKIDSERVED", "served-secret", "alice@example.com");
    auto &server = start({"--token-lifetime", "120"});
    auto client = server.client();
    const std::string host = "127.0.0.1:" + std::to_string(server.port());
    const auto ok = send(client, sign_assume_role(host, kOrg, "served-role", "AKIDSERVED", "served-secret",
                                                  std::time(nullptr)));
    ASSERT_EQ(ok.status, 200) << ok.body;
    EXPECT_NE(ok.body.find("\"ExpiresIn\":120"), std::string::npos) << ok.body;
    EXPECT_EQ(ok.header("Content-Type"), "application/x-amz-json-1.1");

    // Signed for another host name than the one sent: the signature breaks.
    ApiCall other = sign_assume_role("localhost:1", kOrg, "served-role", "AKIDSERVED", "served-secret",
                                     std::time(nullptr));
    other.headers[1].second = host;
    const auto bad = send(client, other);
    EXPECT_EQ(bad.status, 403);
    EXPECT_EQ(bad.header("x-amzn-ErrorType"), "InvalidSignatureException");
    EXPECT_NE(bad.body.find("\"message\":"), std::string::npos);
}

} // namespace
