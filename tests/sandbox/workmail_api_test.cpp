// The fake WorkMail API: AssumeImpersonationRole in process (fixed clock)
// and through the running server with a plain libcurl client.
#include <gtest/gtest.h>

#include <cstring>

#include "accounts.hpp"
#include "sandbox_fixture.hpp"
#include "workmail_api.hpp"

namespace {

using namespace sandbox;
using sandbox_test::sign_assume_role;

constexpr const char *kOrg = "m-0123456789abcdef0123456789abcdef";
constexpr const char *kOtherOrg = "m-fedcba9876543210fedcba9876543210";
constexpr const char *kRole = "migration-role";
constexpr const char *kKey = "AKIDSANDBOX";
constexpr const char *kSecret = "sandbox/secret+key";
constexpr const char *kHost = "127.0.0.1:4443";
constexpr std::time_t kNow = 1700000000; // 2023-11-14 22:13:20 UTC

sigv4::HttpRequest to_request(const sandbox_test::SignedCall &call) {
    sigv4::HttpRequest r{"POST", "/", {}, {}, call.body};
    for (const std::string &line : call.headers) {
        const auto colon = line.find(':');
        r.headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
    }
    return r;
}

class WorkMailApi : public sandbox_test::SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        accounts = AccountStore::open(data_dir.string());
        accounts->add_role({kOrg, kRole, kKey, kSecret, {"alice@example.com"}});
        accounts->add_role({kOrg, "other-role", "AKIDOTHER", "other", {"bob@example.com"}});
    }
    ApiAnswer call(const sigv4::HttpRequest &r, std::time_t now = kNow) {
        return handle_workmail_api(*accounts, config, r, now);
    }
    std::unique_ptr<AccountStore> accounts;
    SandboxConfig config;
};

TEST_F(WorkMailApi, IssuesATokenForACorrectlySignedCall) {
    config.token_lifetime_seconds = 600;
    const ApiAnswer answer = call(to_request(sign_assume_role(kHost, kOrg, kRole, kKey, kSecret, kNow)));
    ASSERT_EQ(answer.status, 200) << answer.body;
    EXPECT_EQ(answer.content_type, "application/x-amz-json-1.1");
    EXPECT_NE(answer.body.find("\"ExpiresIn\":600"), std::string::npos) << answer.body;
    const auto at = answer.body.find("\"Token\":\"") + 9;
    const std::string token = answer.body.substr(at, answer.body.find('"', at) - at);
    EXPECT_GE(token.size(), 32u);
    const auto who = accounts->check_token(token, kNow + 599);
    ASSERT_TRUE(who.has_value());
    EXPECT_EQ(who->role->role_id, kRole);
    EXPECT_FALSE(accounts->check_token(token, kNow + 600).has_value());
}

TEST_F(WorkMailApi, AnswersTheDocumentedErrors) {
    struct Case {
        const char *what;
        sandbox_test::SignedCall call;
        std::time_t now;
        int status;
        const char *type;
    } cases[] = {
        {"any region", sign_assume_role(kHost, kOrg, kRole, kKey, kSecret, kNow, "eu-west-1"), kNow, 200, ""},
        {"4 minutes early", sign_assume_role(kHost, kOrg, kRole, kKey, kSecret, kNow - 240), kNow, 200, ""},
        {"wrong secret", sign_assume_role(kHost, kOrg, kRole, kKey, "guess", kNow), kNow, 403,
         "InvalidSignatureException"},
        {"unknown key", sign_assume_role(kHost, kOrg, kRole, "AKIDNOBODY", kSecret, kNow), kNow, 403,
         "UnrecognizedClientException"},
        {"6 minutes late", sign_assume_role(kHost, kOrg, kRole, kKey, kSecret, kNow - 360), kNow, 403,
         "InvalidSignatureException"},
        {"6 minutes ahead", sign_assume_role(kHost, kOrg, kRole, kKey, kSecret, kNow + 360), kNow, 403,
         "InvalidSignatureException"},
        {"other service", sign_assume_role(kHost, kOrg, kRole, kKey, kSecret, kNow, "us-east-1", "iam"),
         kNow, 403, "InvalidSignatureException"},
        {"unknown role", sign_assume_role(kHost, kOrg, "no-such-role", kKey, kSecret, kNow), kNow, 400,
         "ResourceNotFoundException"},
        {"role of another key", sign_assume_role(kHost, kOrg, "other-role", kKey, kSecret, kNow), kNow,
         400, "ResourceNotFoundException"},
        {"unknown organization", sign_assume_role(kHost, kOtherOrg, kRole, kKey, kSecret, kNow), kNow,
         400, "OrganizationNotFoundException"},
        {"malformed organization", sign_assume_role(kHost, "org-1", kRole, kKey, kSecret, kNow), kNow,
         400, "InvalidParameterException"},
        {"malformed role", sign_assume_role(kHost, kOrg, "role 1", kKey, kSecret, kNow), kNow, 400,
         "InvalidParameterException"},
    };
    for (const auto &c : cases) {
        const ApiAnswer answer = call(to_request(c.call), c.now);
        EXPECT_EQ(answer.status, c.status) << c.what << ": " << answer.body;
        EXPECT_EQ(answer.error_type, c.type) << c.what;
        if (*c.type) {
            EXPECT_NE(answer.body.find(std::string("\"__type\":\"") + c.type + "\""), std::string::npos)
                << c.what << ": " << answer.body;
        }
    }
}

TEST_F(WorkMailApi, RefusesRequestsChangedAfterSigning) {
    struct Case {
        const char *what;
        void (*change)(sigv4::HttpRequest &);
        int status;
        const char *type;
    } cases[] = {
        {"body", [](sigv4::HttpRequest &r) { r.body.replace(r.body.find(kRole), std::strlen(kRole), "other-role"); },
         403, "InvalidSignatureException"},
        {"host", [](sigv4::HttpRequest &r) { r.headers[1].second = "127.0.0.1:9999"; }, 403,
         "InvalidSignatureException"},
        {"no authorization", [](sigv4::HttpRequest &r) { r.headers.pop_back(); }, 403,
         "MissingAuthenticationTokenException"},
        {"garbled authorization", [](sigv4::HttpRequest &r) { r.headers.back().second = "AWS4-HMAC-SHA256 x"; },
         400, "IncompleteSignatureException"},
        {"other target", [](sigv4::HttpRequest &r) { r.headers[3].second = "WorkMailService.ListUsers"; },
         400, "UnknownOperationException"},
    };
    for (const auto &c : cases) {
        sigv4::HttpRequest r = to_request(sign_assume_role(kHost, kOrg, kRole, kKey, kSecret, kNow));
        c.change(r);
        const ApiAnswer answer = call(r);
        EXPECT_EQ(answer.status, c.status) << c.what << ": " << answer.body;
        EXPECT_EQ(answer.error_type, c.type) << c.what;
    }
}

TEST_F(WorkMailApi, RefusesBodiesThatAreNotTheRequestObject) {
    for (const char *body : {"", "[]", "{\"OrganizationId\": 5, \"ImpersonationRoleId\": \"r\"}",
                             "{\"OrganizationId\": \"m-0123456789abcdef0123456789abcdef\"}", "{\"Org"}) {
        // Sign the odd body properly: only its content is wrong.
        sandbox_test::SignedCall signed_call = sign_assume_role(kHost, kOrg, kRole, kKey, kSecret, kNow);
        sigv4::HttpRequest r = to_request(signed_call);
        r.body = body;
        r.headers.pop_back();
        const std::string scope = "20231114/us-east-1/workmail/aws4_request";
        const std::vector<std::string> names = {"content-type", "host", "x-amz-date", "x-amz-target"};
        const std::string sig = sigv4::signature(
            sigv4::signing_key(kSecret, "20231114", "us-east-1", "workmail"),
            sigv4::string_to_sign(sigv4::format_amz_date(kNow), scope, sigv4::canonical_request(r, names)));
        r.headers.emplace_back("Authorization", std::string("AWS4-HMAC-SHA256 Credential=") + kKey + "/" +
                                                    scope + ", SignedHeaders=content-type;host;x-amz-date;"
                                                            "x-amz-target, Signature=" + sig);
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
    const auto call = sign_assume_role(host, kOrg, "served-role", "AKIDSERVED", "served-secret",
                                       std::time(nullptr));
    const auto ok = client.request("POST", "/", call.body, call.headers);
    ASSERT_EQ(ok.status, 200) << ok.body;
    EXPECT_NE(ok.body.find("\"ExpiresIn\":120"), std::string::npos) << ok.body;
    EXPECT_EQ(ok.header("Content-Type"), "application/x-amz-json-1.1");

    // Signed for another host name than the one sent: the signature breaks.
    const auto other = sign_assume_role("localhost:1", kOrg, "served-role", "AKIDSERVED",
                                        "served-secret", std::time(nullptr));
    std::vector<std::string> headers = other.headers;
    headers[1] = "Host: " + host;
    const auto bad = client.request("POST", "/", other.body, headers);
    EXPECT_EQ(bad.status, 403);
    EXPECT_EQ(bad.header("x-amzn-ErrorType"), "InvalidSignatureException");
    EXPECT_NE(bad.body.find("\"message\":"), std::string::npos);
}

} // namespace
