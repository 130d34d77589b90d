// Requests whose answers carry response messages: what counts as a failed
// page or item (HTTP, or ResponseClass="Error" inside HTTP 200), which
// failures are repeated, and how long the pauses are.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scripted_server.hpp"
#include "transport/retried_request.hpp"
#include "transport/soap_request.hpp"

namespace {

using namespace qvamz;
using conntest::Respond;

std::string GetItemAnswer(const std::string &response_class, const std::string &code,
                          const std::string &content = "")
{
    return conntest::Envelope(
        "GetItem", conntest::ResponseMessage(
                       "GetItem", response_class, code, "<m:Items>" + content + "</m:Items>",
                       response_class == "Success" ? "" : "Try again later."));
}

class RetriedRequest : public conntest::ScriptedSessionTest {
  protected:
    OperationAnswer Get(ErrorRetry retry = ErrorRetry::kTransientOnly)
    {
        return RequestWithRetries(session, "GetItem", "", "<ItemIds/>", answer,
                                  "GetItemResponseMessage", retry, "QV Info: retrying");
    }
    conntest::FakeClock clock;
};

// Read from the answer file and from the same answer in memory, also for a
// line longer than the scanner keeps and an answer without a last line end.
TEST_F(RetriedRequest, ResponseStatusOfTheFirstMessage)
{
    // The MIME content of a big message is one long line after the status:
    // the status is read without it.
    const std::string mime = "<t:Message><t:MimeContent CharacterSet=\"UTF-8\">" +
                             std::string(300000, 'Q') + "</t:MimeContent></t:Message>";
    const std::string long_text(3000, 'w');
    const struct {
        const char *name;
        std::string body, status; // found|class|code|text
    } cases[] = {
        {"success", GetItemAnswer("Success", "NoError", mime), "1|Success|NoError|"},
        {"transient error", GetItemAnswer("Error", "ErrorMailboxStoreUnavailable"),
         "1|Error|ErrorMailboxStoreUnavailable|Try again later."},
        {"warning", GetItemAnswer("Warning", "ErrorBatchProcessingStopped"),
         "1|Warning|ErrorBatchProcessingStopped|Try again later."},
        {"no response message", "<s:Envelope><s:Body><x/></s:Body></s:Envelope>", "0|||"},
        {"long text", conntest::Envelope("GetItem", conntest::ResponseMessage(
                                                       "GetItem", "Error", "ErrorServerBusy", "",
                                                       long_text)),
         "1|Error|ErrorServerBusy|" + long_text.substr(0, kResponseLineMax)},
        {"no last line end",
         "<m:GetItemResponseMessage ResponseClass=\"Warning\"><m:ResponseCode>Warn"
         "</m:ResponseCode></m:GetItemResponseMessage>x",
         "1|Warning|Warn|"},
    };
    const auto text = [](const ResponseStatus &s) {
        return std::to_string(s.found) + "|" + s.response_class + "|" + s.response_code + "|" +
               s.message_text;
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        server.Push(Respond(200, c.body));
        ASSERT_TRUE(IsUsableAnswer(SoapRequest(session, "GetItem", "", "<x/>", answer)));
        EXPECT_EQ(text(FirstResponseStatus(answer, "GetItemResponseMessage")), c.status);
        EXPECT_EQ(text(FirstResponseStatusOfText(conntest::ReadFile(answer),
                                                 "GetItemResponseMessage")),
                  c.status);
    }
    EXPECT_FALSE(FirstResponseStatus(dir.file("missing.xml"), "GetItemResponseMessage").found);
}

// Each row: the answers the server gives, what the caller ends with, and
// the pauses in between (attempt x 1 s, three attempts by default).
TEST_F(RetriedRequest, WhatIsRepeatedAndHowOften)
{
    const std::string ok = GetItemAnswer("Success", "NoError", "<t:Message/>");
    const std::string busy = GetItemAnswer("Error", "ErrorServerBusy");
    const std::string gone = GetItemAnswer("Error", "ErrorItemNotFound");
    const struct {
        const char *name;
        std::vector<conntest::ScriptedReply> replies;
        ErrorRetry retry;
        AnswerKind kind;
        std::size_t requests;
        std::vector<int> sleeps;
    } cases[] = {
        {"error at 200, then success", {Respond(200, busy), Respond(200, ok)},
         ErrorRetry::kTransientOnly, AnswerKind::kSuccess, 2, {1000}},
        {"transient error every time", {Respond(200, busy), Respond(200, busy), Respond(200, busy)},
         ErrorRetry::kTransientOnly, AnswerKind::kRetryableError, 3, {1000, 2000}},
        {"lasting error not repeated", {Respond(200, gone)}, ErrorRetry::kTransientOnly,
         AnswerKind::kError, 1, {}},
        {"any error repeated for pages", {Respond(200, gone), Respond(200, ok)},
         ErrorRetry::kEveryError, AnswerKind::kSuccess, 2, {1000}},
        {"HTTP 200 without a response message", {Respond(200, "<html>OK</html>"), Respond(200, ok)},
         ErrorRetry::kTransientOnly, AnswerKind::kSuccess, 2, {1000}},
        {"HTTP 503 every time", {Respond(503, ""), Respond(503, ""), Respond(503, "")},
         ErrorRetry::kTransientOnly, AnswerKind::kFailedPost, 3, {1000, 2000}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        server.ClearScript();
        clock.sleeps.clear();
        const std::size_t before = server.requests().size();
        for (const auto &reply : c.replies)
            server.Push(reply);
        const OperationAnswer got = Get(c.retry);
        EXPECT_EQ(got.kind, c.kind);
        EXPECT_EQ(server.requests().size() - before, c.requests);
        EXPECT_EQ(clock.sleeps, c.sleeps);
    }
    EXPECT_EQ(log.count("QV Info: retrying"), 7u);
}

} // namespace
