// Hostile servers: one that stops sending in the middle of an answer, one
// whose answer has no end, and one whose answer announces too much (the
// token answer's bound is in TokenTest); plus the token request body, which
// must not let an id break out of its JSON string.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "frame/session.hpp"
#include "scripted_server.hpp"
#include "test_support.hpp"
#include "transport/curl_options.hpp"
#include "transport/http_post.hpp"
#include "transport/impersonation_token.hpp"

namespace {

using namespace qvamz;
using Clock = std::chrono::steady_clock;

void SendText(int fd, const std::string &text)
{
    ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

// Every connection is answered with `send`, then held open.
void HoldEveryConnection(conntest::ScriptedServer &server, std::function<void(int)> send)
{
    server.SetFallback([send](const conntest::RecordedRequest &) { return conntest::Hold(send); });
}

class HostileServerTest : public conntest::SessionTest {
  protected:
    void Open(const std::string &url) { conntest::OpenTransport(session, url, dir.dir()); }

    conntest::ScratchDir dir;
    conntest::LogCapture log{dir};
    std::string answer = dir.file("response.xml");
};

TEST_F(HostileServerTest, AServerThatStopsMidAnswerIsCutOffAndRetriedThenFails)
{
    // The head promises 5000 bytes, none follow.  curl judges the speed over
    // the last five seconds or so, so with a 1 s stall time an attempt ends
    // after about four seconds (with 120 s: about two minutes).
    conntest::ScriptedServer server;
    HoldEveryConnection(server, [](int fd) {
        SendText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n");
    });
    session.settings.stall_seconds = 1;
    Open(server.url("/EWS"));
    const auto start = Clock::now();
    const PostResult post = DoPost(session, "<request/>", answer);
    const auto seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_FALSE(post.ok);
    EXPECT_EQ(server.requests().size(), std::size_t{kPostAttempts}); // every attempt was cut off, then retried
    EXPECT_NE(post.curl_error.find("Timeout"), std::string::npos) << post.curl_error;
    EXPECT_LT(seconds, 9.0 * kPostAttempts); // the stall time, not the transfer time-out
    EXPECT_TRUE(log.has("QV Warning: post to " + server.url("/EWS") + " failed"));
}

TEST_F(HostileServerTest, AnAnswerOverTheBoundEndsTheTransferWithoutRetrying)
{
    // No length announced: the bytes are counted as they arrive.
    const std::string chunk(64 * 1024, 'x');
    conntest::ScriptedServer endless;
    HoldEveryConnection(endless, [&chunk](int fd) {
        SendText(fd, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
        for (int i = 0; i < 48; ++i) // 3 MB
            SendText(fd, chunk);
    });
    session.settings.max_answer_mb = 1;
    Open(endless.url("/EWS"));
    const PostResult post = DoPost(session, "<request/>", answer);
    EXPECT_FALSE(post.ok);
    EXPECT_EQ(endless.requests().size(), 1u);
    EXPECT_LE(std::filesystem::file_size(answer), 1024u * 1024u);
    EXPECT_TRUE(log.has("is larger than 1 MB (/MAXANSWER): transfer ended"));

    // An announced length over the bound is refused before the body.
    conntest::ScriptedServer &announced = endless;
    announced.SetFallback({});
    announced.Push(conntest::Respond(200, std::string(1024 * 1024 + 1, 'y')));
    conntest::WriteFile(dir.file("request.xml"), "<request/>");
    const PostResult big = DoPostFile(session, dir.file("request.xml"), answer, "subject");
    EXPECT_FALSE(big.ok);
    EXPECT_EQ(announced.requests().size(), 2u);

    // Within the bound the same answer goes through.
    session.settings.max_answer_mb = 2;
    announced.Push(conntest::Respond(200, std::string(1024 * 1024 + 1, 'y')));
    EXPECT_TRUE(DoPost(session, "<request/>", answer).ok);
}

TEST(TokenRequestBody, IdsWithQuotesAndBackslashesStayInsideTheirStrings)
{
    const std::string role = "role\",\"OrganizationId\":\"evil\\";
    const std::string organization = "m-01\n23\\\"";
    const std::string body = ImpersonationRequestBody(role, organization);
    const std::unique_ptr<cJSON, decltype(&cJSON_Delete)> json(
        cJSON_ParseWithLength(body.data(), body.size()), cJSON_Delete);
    ASSERT_NE(json, nullptr) << body;
    EXPECT_EQ(cJSON_GetArraySize(json.get()), 2);
    const cJSON *role_item = cJSON_GetObjectItemCaseSensitive(json.get(), "ImpersonationRoleId");
    const cJSON *org_item = cJSON_GetObjectItemCaseSensitive(json.get(), "OrganizationId");
    ASSERT_TRUE(cJSON_IsString(role_item) && cJSON_IsString(org_item)) << body;
    EXPECT_EQ(role_item->valuestring, role);
    EXPECT_EQ(org_item->valuestring, organization);

    // Too long to send whole: nothing rather than broken JSON.
    EXPECT_EQ(ImpersonationRequestBody(std::string(kTokenRequestMax, 'r'), "m"), "");
}

} // namespace
