// Impersonation tokens against a scripted WorkMail API: the signed call,
// installing the token, failures, retries and renewal.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "frame/session.hpp"
#include "frame/token.hpp"
#include "scripted_server.hpp"
#include "test_support.hpp"
#include "transport/http_post.hpp"
#include "transport/impersonation_token.hpp"
#include "transport/sigv4.hpp"

namespace {

using namespace qvamz;
using conntest::Drop;
using conntest::Respond;

constexpr const char *kSecret = "s3cr3t-access-value";

class TokenTest : public conntest::SessionTest {
  protected:
    void SetUp() override
    {
        SessionTest::SetUp();
        session.state.work_dir = dir.dir();
        session.state.ews_url = "https://ews.mail.us-west-2.awsapps.com/EWS/Exchange.asmx";
        session.state.api_endpoint = server.url("/");
        session.state.role_id = "role-7";
        session.state.organization_id = "m-0123";
        session.state.access_key = "AKIDTEST";
        session.state.access_secret = kSecret;
    }
    static std::string TokenAnswer(const std::string &token, int expires)
    {
        return "{\"Token\":\"" + token + "\",\"ExpiresIn\":" + std::to_string(expires) + "}";
    }
    bool ListHas(const std::string &line) const
    {
        for (curl_slist *p = session.state.transport.headers.get(); p; p = p->next)
            if (line == p->data)
                return true;
        return false;
    }

    conntest::ScratchDir dir;
    conntest::LogCapture log{dir};
    conntest::ScriptedServer server;
    conntest::FakeClock clock;
};

// The signed call itself is checked by the sandbox (QvmigrateBatch); here
// what only a scripted API shows: an endpoint that names no region signs
// with the EWS address's region, and the answer file does not stay behind.
// A refusal, or an answer without a token (an empty bearer line would fail
// every request and, being empty, never be renewed), keeps the token.
TEST_F(TokenTest, TokenIsInstalledAndKeptThroughRefusalsAndEmptyAnswers)
{
    server.Push(Respond(200, TokenAnswer("kept", 900)));
    ASSERT_TRUE(InstallImpersonationToken(session));
    EXPECT_EQ(session.state.token_time, clock.now);
    EXPECT_EQ(session.state.http_auth, 64);
    EXPECT_TRUE(ListHas("X-PreferServerAffinity: true"));
    EXPECT_FALSE(std::filesystem::exists(dir.file("impersonation.tmp")));
    const sigv4::AmzTime time = sigv4::FormatAmzTime(clock.now);
    EXPECT_NE(server.requests().at(0).head.find("Credential=AKIDTEST/" + time.date +
                                                "/us-west-2/workmail/aws4_request"),
              std::string::npos);

    server.Push(Respond(403, "{\"__type\":\"AccessDeniedException\"}"));
    EXPECT_FALSE(InstallImpersonationToken(session));
    EXPECT_TRUE(log.has("QV Error: unable to retrieve impersonation token, response is 403"));
    server.Push(Respond(200, "{\"Other\":1}"));
    EXPECT_FALSE(InstallImpersonationToken(session));
    EXPECT_TRUE(log.has("QV Error: the impersonation token answer holds no token"));
    EXPECT_EQ(session.state.bearer_token, "kept");
    EXPECT_EQ(session.state.token_expires_in, 900);
    EXPECT_TRUE(ListHas("Authorization: Bearer kept"));
}

// A refused renewal leaves the old token's lifetime as it was: the next
// check asks again once a pause has passed, and the pause doubles with
// each refusal in a row.
TEST_F(TokenTest, RefusedRenewalIsTriedAgainWithBackOff)
{
    server.Push(Respond(200, TokenAnswer("old", 900)));
    ASSERT_TRUE(InstallImpersonationToken(session));
    const std::int64_t obtained = session.state.token_time;
    const auto api_calls = [&] { return server.requests().size() - 1; };
    server.SetFallback([](const conntest::RecordedRequest &) {
        return Respond(403, "{\"__type\":\"AccessDeniedException\"}");
    });
    // Seconds waited before each check, and the API calls made so far: due
    // sixty seconds before the lifetime ends, not earlier; the pause after
    // a refusal is 1 s, then 2 s.
    const std::pair<int, std::size_t> checks[] = {{840, 0}, {1, 1}, {0, 1},
                                                   {1, 2}, {1, 2}, {1, 3}};
    clock.now = obtained;
    for (const auto &[wait, calls] : checks) {
        clock.now += wait;
        RenewTokenIfDue(session);
        EXPECT_EQ(api_calls(), calls) << clock.now - obtained;
        EXPECT_EQ(session.state.token_time, obtained); // not restarted
    }
    EXPECT_EQ(session.state.bearer_token, "old");
    EXPECT_TRUE(log.has("QV Warning: impersonation token not renewed (3 refusals in a row), "
                        "next attempt in 4 s"));

    server.SetFallback({});
    clock.now += 4;
    server.Push(Respond(200, TokenAnswer("new", 900)));
    RenewTokenIfDue(session);
    EXPECT_EQ(session.state.bearer_token, "new");
    EXPECT_EQ(session.state.token_time, clock.now);
    EXPECT_EQ(session.state.token_failures, 0);
    EXPECT_TRUE(ListHas("Authorization: Bearer new"));
    EXPECT_TRUE(log.has("QV Info: AWS token expired, obtaining new one"));

    EXPECT_EQ(TokenRetryDelaySeconds(5), 16);
    EXPECT_EQ(TokenRetryDelaySeconds(6), kTokenRetryDelayMaxSeconds);
    EXPECT_EQ(TokenRetryDelaySeconds(1000), kTokenRetryDelayMaxSeconds);
}

TEST_F(TokenTest, TransportErrorsAreRetriedWithTheConfiguredDelay)
{
    session.settings.api_attempts = 3;
    session.settings.retry_delay_unit = 2;
    server.Push(Drop());
    server.Push(Drop());
    server.Push(Respond(200, TokenAnswer("late", 60)));
    InstallImpersonationToken(session);
    EXPECT_EQ(session.state.bearer_token, "late");
    EXPECT_EQ(clock.sleeps, (std::vector<int>{2000, 2000}));
    EXPECT_EQ(log.count("QV Info: retrying Post (error=52)"), 2u);

    // One attempt means no retry and no sleep.
    session.settings.api_attempts = 1;
    clock.sleeps.clear();
    server.Push(Drop());
    InstallImpersonationToken(session);
    EXPECT_EQ(server.requests().size(), 4u);
    EXPECT_TRUE(clock.sleeps.empty());
    EXPECT_TRUE(log.has("QV Error: unable to retrieve impersonation token, response is 0"));
}

TEST_F(TokenTest, NoEndpointNoCall)
{
    EXPECT_FALSE(TokenRenewalDue(session.state, clock.now + 100000)); // no token yet
    session.state.api_endpoint.clear();
    session.state.ews_url = "https://mail.example.com/EWS/Exchange.asmx";
    InstallImpersonationToken(session);
    EXPECT_TRUE(log.has("QV Error: cannot locate Workmail endpoint"));
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(TokenTest, AnOversizedAnswerIsNotFetchedAgain)
{
    session.settings.max_answer_mb = 1;
    for (int i = 0; i < 2; ++i)
        server.Push(Respond(200, std::string(1024 * 1024 + 1, 't')));
    EXPECT_FALSE(RequestImpersonationToken(session, session.state.api_endpoint).has_value());
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(TokenTest, NeitherSecretNorTokenReachTheLog)
{
    session.settings.curl_debug = 1;
    server.Push(Respond(200, TokenAnswer("tok-visible-nowhere", 900)));
    InstallImpersonationToken(session);
    const std::string text = log.text();
    EXPECT_TRUE(log.has("curl debug: canonical_request:"));
    EXPECT_TRUE(log.has("curl debug: Authorization: AWS4-HMAC-SHA256 Credential=AKIDTEST/"));
    EXPECT_EQ(text.find(kSecret), std::string::npos);
    EXPECT_EQ(text.find("tok-visible-nowhere"), std::string::npos);
    // A signature in clear would let the logged call be replayed.
    const std::string head = server.requests().at(0).head;
    const std::size_t at = head.find("Signature=");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(text.find(head.substr(at + 10, 16)), std::string::npos) << text;
}

} // namespace
