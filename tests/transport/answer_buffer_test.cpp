// Answers kept in memory (AnswerBuffer): small ones never touch the disk,
// large ones land whole in their file, and the busy rounds and item
// retries read them as they read a response file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "frame/session.hpp"
#include "scripted_server.hpp"
#include "test_support.hpp"
#include "transport/http_post.hpp"
#include "transport/retried_request.hpp"
#include "transport/soap_request.hpp"

namespace {

using namespace qvamz;
using conntest::Respond;

class AnswerBufferTest : public conntest::ScriptedSessionTest {
  protected:
    AnswerBuffer Buffer(std::size_t memory_max)
    {
        AnswerBuffer buffer;
        buffer.path = answer;
        buffer.memory_max = memory_max;
        return buffer;
    }
    std::string ReadBack(const AnswerBuffer &buffer)
    {
        const qvcommon::UniqueFile text = buffer.Open();
        std::string all;
        for (int c; text && (c = std::getc(text.get())) != EOF;)
            all += static_cast<char>(c);
        return all;
    }

    conntest::FakeClock clock;
};

// Below the bound the answer stays in memory and no file is made; above
// it, the whole answer (what came before the bound too) is in the file and
// nothing in memory; a following small answer is in memory again.
TEST_F(AnswerBufferTest, SmallAnswersStayInMemoryLargeOnesMoveWholeToTheFile)
{
    AnswerBuffer buffer = Buffer(64);
    server.Push(Respond(200, "<a><b>x</b></a>"));
    ASSERT_TRUE(DoPost(session, "<r/>", buffer).ok);
    EXPECT_FALSE(buffer.in_file);
    EXPECT_EQ(buffer.text, "<a>\r\n<b>\r\nx\r\n</b>\r\n</a>\r\n");
    EXPECT_FALSE(std::filesystem::exists(answer));

    const std::string blob(100000, 'Q');
    server.Push(Respond(200, "<m><c>" + blob + "</c></m>"));
    ASSERT_TRUE(DoPost(session, "<r/>", buffer).ok);
    EXPECT_TRUE(buffer.in_file);
    EXPECT_TRUE(buffer.text.empty());
    EXPECT_EQ(conntest::ReadFile(answer), "<m>\r\n<c>\r\n" + blob + "\r\n</c>\r\n</m>\r\n");
    EXPECT_EQ(ReadBack(buffer), conntest::ReadFile(answer));

    server.Push(Respond(200, "<ok/>"));
    ASSERT_TRUE(DoPost(session, "<r/>", buffer).ok);
    EXPECT_FALSE(buffer.in_file);
    EXPECT_EQ(ReadBack(buffer), "<ok/>\r\n");
}

// A busy fault held in memory is recognised and waited out; an item whose
// answer says a transient error is repeated, and the last answer is the
// one left in the buffer.
TEST_F(AnswerBufferTest, BusyRoundsAndRetriesReadAnswersInMemory)
{
    AnswerBuffer buffer = Buffer(1 << 20);
    server.Push(Respond(504, "<html><body>Gateway Time-out</body></html>"));
    server.Push(Respond(200, "<ok/>"));
    EXPECT_TRUE(IsUsableAnswer(SoapRequest(session, "GetFolder", "", "<FolderIds/>\n", buffer)));
    EXPECT_EQ(clock.sleeps, std::vector<int>{1000});

    session.settings.item_attempts = 2;
    server.Push(Respond(200, conntest::Envelope("GetItem", conntest::ResponseMessage(
                                                               "GetItem", "Error",
                                                               "ErrorServerBusy", ""))));
    server.Push(Respond(200, conntest::Success("GetItem", "<m:Items/>")));
    const OperationAnswer got =
        RequestWithRetries(session, "GetItem", "", "<ItemIds/>\n", buffer,
                           "GetItemResponseMessage", ErrorRetry::kTransientOnly, "again");
    EXPECT_EQ(got.kind, AnswerKind::kSuccess);
    EXPECT_EQ(log.count("again"), 1u);
    EXPECT_NE(buffer.text.find("NoError"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(answer));
}

// The status read from an answer in memory is the one read from the same
// answer in a file, also for a line longer than the scanner keeps and an
// answer without a last line end.
TEST_F(AnswerBufferTest, StatusInMemoryReadsAsFromTheFile)
{
    const std::string long_text(3000, 'w');
    for (const std::string &body :
         {conntest::Envelope("GetItem", conntest::ResponseMessage("GetItem", "Error",
                                                                  "ErrorItemNotFound", "",
                                                                  "gone")),
          conntest::Envelope("GetItem", conntest::ResponseMessage("GetItem", "Error",
                                                                  "ErrorServerBusy", "",
                                                                  long_text)),
          std::string("<m:GetItemResponseMessage ResponseClass=\"Warning\"><m:ResponseCode>"
                      "Warn</m:ResponseCode></m:GetItemResponseMessage>x")}) {
        server.Push(Respond(200, body));
        AnswerBuffer buffer = Buffer(1 << 20);
        ASSERT_TRUE(DoPost(session, "<r/>", buffer).ok);
        conntest::WriteFile(answer, buffer.text);
        const ResponseStatus from_file = FirstResponseStatus(answer, "GetItemResponseMessage");
        const ResponseStatus in_memory =
            FirstResponseStatusOfText(buffer.text, "GetItemResponseMessage");
        EXPECT_TRUE(from_file.found);
        EXPECT_EQ(in_memory.found, from_file.found);
        EXPECT_EQ(in_memory.response_class, from_file.response_class);
        EXPECT_EQ(in_memory.response_code, from_file.response_code);
        EXPECT_EQ(in_memory.message_text, from_file.message_text);
    }
}

} // namespace
