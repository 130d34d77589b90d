// The <t:Message> element's properties and the per-item results of an
// answer, without a server.
#include <gtest/gtest.h>

#include "mailwrite/message_element.hpp"
#include "mailwrite/response_messages.hpp"
#include "mailwrite_test_support.hpp"

namespace mwtest {
namespace {

// Every optional property, in the order the element takes them: the
// categories (blanks trimmed, empty ones dropped, XML escaped), the read
// state, the comment, the replied icon, the importance, the sticky note
// class, the three dates and the follow-up flag (7 is taken as 2).
TEST(MessageProperties, EveryOptionalPropertyInOrder)
{
    Record msg = NewRecord(1);
    set_text(msg->categories, "A; B;;  C & D;");
    msg->unread = 0;
    msg->replied = 1;
    msg->forwarded = 1;
    msg->priority = 0;
    msg->flag_status = 7;
    ExpectRecorded("properties_all.xml", qvamz::MessagePropertiesXml(*msg, true, com_UnixToFileTime(0)));
    EXPECT_EQ(msg->flag_status, 2);
}

// Unset ones are left out, and a completed flag has no icon.
TEST(MessageProperties, UnsetOnesAreLeftOut)
{
    Record msg = NewRecord(1);
    msg->flag_status = 1;
    ExpectRecorded("properties_unset.xml",
                   qvamz::MessagePropertiesXml(*msg, false, com_UnixToFileTime(0)));
}

TEST(ResponseMessages, ClassesCodesAndTextsInOrder)
{
    WorkDir dir;
    WriteFile(dir.file("answer.xml"),
              "<m:CreateItemResponse>\r\n<m:ResponseMessages>\r\n"
              "<m:CreateItemResponseMessage ResponseClass=\"Success\">\r\n"
              "<m:ResponseCode>\r\nNoError\r\n</m:ResponseCode>\r\n"
              "</m:CreateItemResponseMessage>\r\n"
              "<m:CreateItemResponseMessage ResponseClass=\"Error\">\r\n"
              "<m:MessageText>\r\nThe message exceeds the maximum size.\r\n</m:MessageText>\r\n"
              "<m:ResponseCode>\r\nErrorMessageSizeExceeded\r\n</m:ResponseCode>\r\n"
              "</m:CreateItemResponseMessage>\r\n"
              "<CreateItemResponseMessage ResponseClass=\"Warning\">\r\n"
              "</CreateItemResponseMessage>\r\n"
              "</m:ResponseMessages>\r\n</m:CreateItemResponse>\r\n");
    auto messages = qvamz::ReadResponseMessages(dir.file("answer.xml"), "CreateItemResponseMessage");
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_FALSE(messages[0].IsError());
    EXPECT_EQ(messages[0].response_code, "NoError");
    EXPECT_TRUE(messages[1].IsError());
    EXPECT_EQ(messages[1].response_code, "ErrorMessageSizeExceeded");
    EXPECT_EQ(messages[1].message_text, "The message exceeds the maximum size.");
    EXPECT_EQ(messages[2].response_class, "Warning");
    EXPECT_TRUE(qvamz::ReadResponseMessages(dir.file("none.xml"), "X").empty());
}

} // namespace
} // namespace mwtest
