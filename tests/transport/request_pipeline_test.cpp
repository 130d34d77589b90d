// The read-ahead pipeline and the session's one connection, against a
// keep-alive server that holds answers back on purpose: requests overlap
// up to the window and no further, answers come back in request order
// whatever order the server sends them in, busy answers shrink the window,
// and DoPost takes an answer sent ahead only as the oldest request's.
#include <gtest/gtest.h>

#include <string>

#include "frame/session.hpp"
#include "scripted_server.hpp"
#include "test_support.hpp"
#include "transport/http_post.hpp"
#include "transport/request_pipeline.hpp"

namespace {

using namespace qvamz;

std::string Request(int n) { return "<r n=\"" + std::to_string(n) + "\"/>"; }
std::string Echo(const std::string &request) { return "<ok>\r\n" + request + "\r\n</ok>\r\n"; }

// The request echoed inside <ok> on a kept connection; "late" is answered
// after three others, the busy words get the three forms of a busy server.
conntest::ScriptedReply Answer(const conntest::RecordedRequest &request)
{
    const std::string &body = request.body;
    conntest::ScriptedReply reply = conntest::Respond(200, "<ok>" + body + "</ok>");
    reply.keep_alive = true;
    if (body.find("late") != std::string::npos)
        reply.after_answers = 3;
    if (body.find("fault-busy") != std::string::npos) {
        reply.status = 500;
        reply.body = "<faultstring>The server cannot service this request right now.";
    }
    if (body.find("code-busy") != std::string::npos)
        reply.body = "<m:ResponseCode>ErrorServerBusy</m:ResponseCode>";
    if (body.find("gateway-busy") != std::string::npos)
        reply.status = 504;
    return reply;
}

class RequestPipelineTest : public conntest::SessionTest {
  protected:
    void SetUp() override
    {
        server.SetFallback(Answer);
        conntest::OpenTransport(session, server.url(), dir.dir());
    }
    void TearDown() override { CloseSessionTransport(session.state.transport); }

    conntest::ScratchDir dir;
    conntest::LogCapture log{dir};
    conntest::ScriptedServer server;
    std::string answer_file = dir.file("response.xml");
};

TEST_F(RequestPipelineTest, KeepsTheWindowFullOnSharedConnectionsAndAnswersInOrder)
{
    for (int n = 0; n < 10; ++n)
        ASSERT_TRUE(DoPost(session, Request(n), answer_file).ok);
    EXPECT_EQ(server.connections(), 1); // one connection for sequential posts

    server.HoldFirst(4); // the server sees four at once before it answers any
    RequestPipeline pipeline(session, 4);
    const auto text = [](int n) { return n == 1 ? std::string("<late/>") : Request(n); };
    int started = 0;
    for (int claimed = 1; claimed <= 12; ++claimed) {
        while (started < 12 && pipeline.HasRoom())
            ASSERT_TRUE(pipeline.Start(text(++started)));
        const std::optional<FinishedPost> post = pipeline.Claim(text(claimed));
        ASSERT_TRUE(post && post->result.ok);
        EXPECT_EQ(post->answer, Echo(text(claimed)));
    }
    EXPECT_EQ(server.most_at_once(), 4);
    EXPECT_NE(server.answer_order().front(), "<late/>"); // answered out of order
    EXPECT_LE(server.connections(), 4);                   // the first one reused
}

TEST_F(RequestPipelineTest, BusyAnswersHalveTheWindowAndDoPostClaimsOnlyTheOldest)
{
    RequestPipeline pipeline(session, 8);
    ReadAheadScope installed(session, &pipeline);
    for (const auto &[request, window_after] :
         std::vector<std::pair<std::string, int>>{{"<fault-busy/>", 4}, {Request(1), 4},
                                                  {"<code-busy/>", 2}, {"<gateway-busy/>", 1},
                                                  {"<fault-busy/>", 1}}) {
        ASSERT_TRUE(pipeline.Start(request));
        DoPost(session, request, answer_file);
        EXPECT_EQ(pipeline.window(), window_after) << request;
    }
    EXPECT_TRUE(log.has("server busy, reading ahead 1 item at most"));

    ASSERT_TRUE(pipeline.Start(Request(2)));
    EXPECT_FALSE(pipeline.Start(Request(3))); // a window of one is full
    ASSERT_TRUE(DoPost(session, Request(3), answer_file).ok);
    EXPECT_EQ(pipeline.pending(), 1u); // not the oldest: posted the usual way
    const PostResult post = DoPost(session, Request(2), answer_file);
    EXPECT_EQ(post.http_status, 200);
    EXPECT_EQ(conntest::ReadFile(answer_file), Echo(Request(2)));
    EXPECT_EQ(pipeline.pending(), 0u);
}

} // namespace
