// SoapRequest against a scripted server: what goes out in both modes, and
// the busy rounds with their waits (recorded, not slept).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "frame/session.hpp"
#include "scripted_server.hpp"
#include "test_support.hpp"
#include "transport/http_post.hpp"
#include "transport/soap_request.hpp"

namespace {

using namespace qvamz;
using conntest::Respond;

std::string RawFault(const std::string &file)
{
    return conntest::ServerForm(std::string(QV_TEST_DATA_DIR) + "/transport/" + file);
}

class SoapRequestTest : public conntest::ScriptedSessionTest {
  protected:
    template <typename... Args> int Usable(Args &&...args)
    {
        last = SoapRequest(session, std::forward<Args>(args)...);
        return IsUsableAnswer(last) ? 1 : 0;
    }
    int Get() { return Usable("GetFolder", "", "<FolderIds/>\n", answer); }

    PostResult last; // of the latest request
    conntest::FakeClock clock;
};

TEST_F(SoapRequestTest, FourBusyAnswersGiveUpAfterWaitingOneTwoThreeSeconds)
{
    const std::string busy = RawFault("fault_server_busy.xml");
    const std::string without_backoff =
        busy.substr(0, busy.find("<t:MessageXml")) + busy.substr(busy.find("</detail>"));
    for (int i = 0; i < 5; ++i)
        server.Push(Respond(500, without_backoff));
    EXPECT_EQ(Get(), 0);
    EXPECT_EQ(clock.sleeps, (std::vector<int>{1000, 2000, 3000}));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[3].body, requests[0].body);
    EXPECT_EQ(log.count("QV Warning: http error=500, faultstring=The server cannot service"), 1u);
}

TEST_F(SoapRequestTest, TheServersBackOffIsWaitedOut)
{
    server.Push(Respond(500, RawFault("fault_server_busy.xml")));
    server.Push(Respond(200, "<ok/>"));
    EXPECT_EQ(Get(), 1);
    EXPECT_EQ(clock.sleeps, std::vector<int>{297749});
}

TEST_F(SoapRequestTest, OtherFaultsFailAtOnceWithTheirText)
{
    server.Push(Respond(500, RawFault("fault_schema.xml"), {"X-amzn-request-id: abc"}));
    EXPECT_EQ(Get(), 0);
    EXPECT_TRUE(clock.sleeps.empty());
    EXPECT_EQ(log.count("QV Warning: http error=500, faultstring=The request failed schema "
                        "validation: bad element, X-amzn-request-id: abc"),
              2u);

    // Without a fault the last line of the answer is reported.
    server.Push(Respond(401, ""));
    EXPECT_EQ(Get(), 0);
    EXPECT_EQ(last.http_status, 401);
    EXPECT_TRUE(log.has("QV Warning: http error=401, faultstring=, "));
}

TEST_F(SoapRequestTest, InMemoryBodiesOfAnyLengthGoOutWhole)
{
    std::string body = "<Items>\n";
    while (body.size() < 200000)
        body += "<t:Item>some text of an item</t:Item>\n";
    body += "</Items>\n";
    server.Push(Respond(200, "<ok/>"));
    EXPECT_EQ(Usable("CreateItem", "MessageDisposition=\"SaveOnly\"", body, answer), 1);
    const std::string sent = server.requests().at(0).body;
    EXPECT_NE(sent.find(body), std::string::npos);
    EXPECT_TRUE(sent.ends_with("</CreateItem>\n</soap:Body>\n</soap:Envelope>\n"));
}

TEST_F(SoapRequestTest, FileModeStreamsTheEnvelopeAndLeavesATrailOnlyOfAFailure)
{
    // Larger than a few of curl's reads, so head, file and tail meet at
    // read edges; a dropped connection makes it send all of it again.
    const std::string bytes(300000, 'z');
    const std::string body_file = dir.file("body.xml");
    conntest::WriteFile(body_file, bytes);
    server.Push(conntest::Drop());
    server.Push(Respond(500, "<error/>"));
    server.Push(Respond(200, "<ok/>"));
    const std::string request_file = dir.file("soap.xml");

    EXPECT_EQ(Usable("CreateItem", "", "", answer, body_file, "subject"), 0);
    ASSERT_TRUE(std::filesystem::exists(request_file)); // kept as a trail of the failure
    const std::string written = conntest::ReadFile(request_file);
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[0].body, written);
    EXPECT_EQ(server.requests()[1].body, written);
    EXPECT_NE(
        written.find("xmlns:t=\"http://schemas.microsoft.com/exchange/services/2006/types\">\n" +
                     bytes + "</CreateItem>\n</soap:Body>\n</soap:Envelope>\n"),
        std::string::npos);

    EXPECT_EQ(Usable("CreateItem", "", "", answer, body_file, "subject"), 1);
    EXPECT_EQ(server.requests().back().body, written);
    EXPECT_FALSE(std::filesystem::exists(request_file)); // nor a stale one left

    // A missing body file posts nothing.
    EXPECT_EQ(Usable("CreateItem", "", "", answer, dir.file("absent.xml"), "s"), 0);
    EXPECT_EQ(server.requests().size(), 3u);
}

TEST_F(SoapRequestTest, CurlDebugShowsTheEnvelopeButNoCredentials)
{
    session.settings.curl_debug = 1;
    server.Push(Respond(200, "<ok/>"));
    EXPECT_EQ(Get(), 1);
    const std::string text = log.text();
    EXPECT_TRUE(log.has("curl debug: Soap post data:\n<?xml version=\"1.0\""));
    EXPECT_TRUE(log.has("curl debug: Return from DoPost=1, HTTP status=200"));
    EXPECT_TRUE(log.has("Authorization: Basic ****"));
    EXPECT_EQ(text.find("dXNlckBleGFtcGxlLmNvbTpwdw"), std::string::npos); // user:pw
}

} // namespace
