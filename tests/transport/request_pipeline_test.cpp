// The read-ahead pipeline and the session's one connection, against a
// keep-alive server that holds answers back on purpose: requests overlap
// up to the window and no further, answers come back in request order
// whatever order the server sends them in, busy answers shrink the window,
// and DoPost takes an answer sent ahead as its first attempt only.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "frame/session.hpp"
#include "parallel_server.hpp"
#include "test_support.hpp"
#include "transport/http_post.hpp"
#include "transport/request_pipeline.hpp"

namespace {

using namespace qvamz;
using Reply = conntest::ParallelServer::Reply;

std::string Request(int n) { return "<r n=\"" + std::to_string(n) + "\"/>"; }

// What the server answers: the request echoed inside <ok>; special words
// in a request ask for a busy answer, a late answer or (the first time) a
// dropped connection.
Reply Answer(const std::string &body, std::atomic<bool> &dropped)
{
    Reply reply;
    reply.body = "<ok>" + body + "</ok>";
    if (body.find("late") != std::string::npos)
        reply.after_answers = 3;
    if (body.find("fault-busy") != std::string::npos)
        reply = {500, "<faultstring>The server cannot service this request right now.</faultstring>"};
    if (body.find("code-busy") != std::string::npos)
        reply.body = "<m:ResponseCode>ErrorServerBusy</m:ResponseCode>";
    if (body.find("gateway-busy") != std::string::npos)
        reply.status = 504;
    if (body.find("drop") != std::string::npos)
        reply.drop = !dropped.exchange(true);
    return reply;
}

class RequestPipelineTest : public conntest::SessionTest {
  protected:
    void SetUp() override
    {
        session.state.work_dir = dir.dir();
        session.state.ews_url = server.url();
        session.state.mailbox = "user@example.com";
        session.state.password = "pw";
        ASSERT_TRUE(OpenSessionTransport(session.state.transport));
        AppendStandardHeaders(session.state.transport.headers, true);
        SetupSessionHandle(session);
    }
    void TearDown() override { CloseSessionTransport(session.state.transport); }

    // The answer claimed for `request`, as the response file would hold it.
    std::string ClaimText(RequestPipeline &pipeline, const std::string &request)
    {
        std::optional<FinishedPost> post = pipeline.Claim(request);
        if (!post) {
            ADD_FAILURE() << "nothing sent ahead for " << request;
            return {};
        }
        EXPECT_TRUE(post->result.ok) << request;
        return post->answer;
    }

    conntest::ScratchDir dir;
    conntest::LogCapture log{dir};
    std::atomic<bool> dropped_once{false};
    conntest::ParallelServer server{
        [this](const std::string &body) { return Answer(body, dropped_once); }};
    std::string answer_file = dir.file("response.xml");
};

TEST_F(RequestPipelineTest, KeepsTheWindowFullAndHandsAnswersBackInRequestOrder)
{
    constexpr int kRequests = 12;
    server.HoldFirst(4); // the server sees all four before it answers any
    RequestPipeline pipeline(session, 4);
    const auto text = [](int n) { return n == 1 ? std::string("<r late=\"1\"/>") : Request(n); };
    int started = 0;
    for (int claimed = 1; claimed <= kRequests; ++claimed) {
        while (started < kRequests && pipeline.HasRoom())
            ASSERT_TRUE(pipeline.Start(text(++started)));
        EXPECT_EQ(ClaimText(pipeline, text(claimed)), "<ok>\r\n" + text(claimed) + "\r\n</ok>\r\n");
    }
    EXPECT_EQ(server.most_at_once(), 4);
    EXPECT_EQ(pipeline.most_in_flight(), 4);
    EXPECT_EQ(server.requests(), kRequests);
    // The first request was answered after others, yet claimed first.
    EXPECT_NE(server.answer_order().front(), text(1));
    // Handles take turns on the connections already open.
    EXPECT_LE(server.connections(), 4);
}

TEST_F(RequestPipelineTest, EveryKindOfBusyAnswerHalvesTheWindowDownToOne)
{
    RequestPipeline pipeline(session, 8);
    EXPECT_EQ(RequestPipeline(session, 0).window(), kPrefetchMin);
    EXPECT_EQ(RequestPipeline(session, 99).window(), kPrefetchMax);
    const std::vector<std::pair<std::string, int>> steps = {
        {"<fault-busy/>", 4}, {Request(1), 4}, {"<code-busy/>", 2}, {"<gateway-busy/>", 1},
        {"<fault-busy/>", 1}};
    for (const auto &[request, window_after] : steps) {
        ASSERT_TRUE(pipeline.Start(request));
        ClaimText(pipeline, request);
        EXPECT_EQ(pipeline.window(), window_after) << request;
    }
    ASSERT_TRUE(pipeline.Start(Request(2)));
    EXPECT_FALSE(pipeline.HasRoom());
    EXPECT_FALSE(pipeline.Start(Request(3)));
    EXPECT_TRUE(log.has("server busy, reading ahead 1 item at most"));
}

TEST_F(RequestPipelineTest, DoPostTakesOnlyTheOldestMatchingAnswerAsItsFirstAttempt)
{
    RequestPipeline pipeline(session, 4);
    ReadAheadScope installed(session, &pipeline);
    ASSERT_TRUE(pipeline.Start(Request(1)));
    ASSERT_TRUE(pipeline.Start(Request(2)));

    // Not the oldest: posted the usual way, nothing taken from the pipeline.
    ASSERT_TRUE(DoPost(session, Request(2), answer_file).ok);
    EXPECT_EQ(pipeline.pending(), 2u);

    for (int n : {1, 2}) {
        const PostResult post = DoPost(session, Request(n), answer_file);
        EXPECT_TRUE(post.ok);
        EXPECT_EQ(post.http_status, 200);
        EXPECT_EQ(conntest::ReadFile(answer_file), "<ok>\r\n" + Request(n) + "\r\n</ok>\r\n");
    }
    EXPECT_EQ(pipeline.pending(), 0u);
    EXPECT_EQ(server.requests(), 3); // both answers came from the pipeline

    // A transfer sent ahead that failed is only a first attempt: DoPost
    // goes on with the next one on the session's handle.
    ASSERT_TRUE(pipeline.Start("<drop/>"));
    EXPECT_TRUE(DoPost(session, "<drop/>", answer_file).ok);
    EXPECT_EQ(conntest::ReadFile(answer_file), "<ok>\r\n<drop/>\r\n</ok>\r\n");
    EXPECT_TRUE(dropped_once);
}

TEST_F(RequestPipelineTest, SequentialPostsKeepOneConnectionAndNothingIsLeftInFlight)
{
    for (int n = 0; n < 20; ++n)
        ASSERT_TRUE(DoPost(session, Request(n), answer_file).ok);
    EXPECT_EQ(server.connections(), 1);
    {
        // Abandoned at the end of the folder: no claim, no crash, no leak.
        RequestPipeline pipeline(session, 4);
        ASSERT_TRUE(pipeline.Start(Request(100)));
    }
    EXPECT_TRUE(DoPost(session, Request(21), answer_file).ok);
    EXPECT_EQ(server.most_at_once(), 1);
}

} // namespace
