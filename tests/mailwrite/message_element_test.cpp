// The <t:Message> element's properties, the per-item results of an
// answer, and the attachment upload after it, without a real server.
#include <gtest/gtest.h>

#include <string>

#include "mailwrite/attachment_upload.hpp"
#include "mailwrite/message_element.hpp"
#include "mailwrite/response_messages.hpp"
#include "mailwrite_test_support.hpp"
#include "qv/qvcom.hpp"
#include "qv_test_support.hpp"
#include "scripted_server.hpp"

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

// Attachment upload against a scripted server: each attachment is sent
// with the change key the previous answer gave, requests pass the schema,
// and refusals are reported.
using conntest::Respond;
using qvamz::InlineContentType;
using qvamz::ParentItem;
using qvamz::UploadAttachments;

std::string CreateAttachmentAnswer(const std::string &response_class,
                                   const std::string &root_change_key)
{
    const std::string message =
        response_class == "Success"
            ? conntest::ResponseMessage("CreateAttachment", "Success", "NoError",
                                        "<m:Attachments><t:FileAttachment><t:AttachmentId "
                                        "Id=\"NEW\" RootItemId=\"ITEM\" RootItemChangeKey=\"" +
                                            root_change_key + "\"/></t:FileAttachment></m:Attachments>")
            : conntest::ResponseMessage("CreateAttachment", response_class,
                                        "ErrorIrresolvableConflict", "", "The change key is stale.");
    return conntest::Envelope("CreateAttachment", message);
}

TEST(InlineContentType, LaterRulesWin)
{
    EXPECT_EQ(InlineContentType("picture.jpeg"), "image/jpeg");
    EXPECT_EQ(InlineContentType("scan.gif.png"), "image/png");
    EXPECT_EQ(InlineContentType("LOGO.BMP"), "image/bmp");
    EXPECT_EQ(InlineContentType("report.pdf"), "");
}

class UploadTest : public conntest::ScriptedSessionTest {
  protected:
    qvtest::Record msg = qvtest::new_record(4);
};

TEST_F(UploadTest, EachAttachmentTakesThePreviousAnswersChangeKey)
{
    session.state.server_major_version = 15;
    qvtest::add_part(*msg, dir.dir(), QV_PART_TEXT_BODY, "Message Text", "notes");
    qvtest::add_part(*msg, dir.dir(), QV_PART_ATTACHMENT, "a<b>.txt", "first");
    qv_part &inline_part =
        qvtest::add_part(*msg, dir.dir(), QV_PART_ATTACHMENT, "scan.gif.png", "PNGDATA");
    qvtest::set_text(inline_part.content_id, "img1@x");
    qvtest::add_part(*msg, dir.dir(), QV_PART_ATTACHMENT, "empty.bin", "");
    server.Push(Respond(200, CreateAttachmentAnswer("Success", "CK2")));
    server.Push(Respond(200, CreateAttachmentAnswer("Success", "CK3")));
    server.Push(Respond(200, CreateAttachmentAnswer("Success", "CK4")));

    ParentItem parent{"ITEM", "CK1"};
    EXPECT_EQ(UploadAttachments(session, *msg, dir.dir(), parent), 0);
    EXPECT_EQ(parent.change_key, "CK4");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u); // the text body is no attachment
    for (const auto &request : requests) {
        std::string findings;
        EXPECT_TRUE(conntest::TextValidatesAgainstSchema(request.body, &findings)) << findings;
    }
    EXPECT_NE(requests[0].body.find("<ParentItemId Id=\"ITEM\" ChangeKey=\"CK1\"/>"),
              std::string::npos);
    EXPECT_NE(requests[0].body.find("<t:Name>a&lt;b&gt;.txt</t:Name>"), std::string::npos);
    EXPECT_NE(requests[0].body.find("<t:Content>" + qvtest::base64_encode("first") +
                                    "</t:Content>"),
              std::string::npos);
    EXPECT_EQ(requests[0].body.find("<t:ContentId>"), std::string::npos);
    EXPECT_NE(requests[1].body.find("ChangeKey=\"CK2\""), std::string::npos);
    EXPECT_NE(requests[1].body.find("<t:ContentType>image/png</t:ContentType>\n"
                                    "<t:ContentId>img1@x</t:ContentId>\n"
                                    "<t:IsInline>true</t:IsInline>"),
              std::string::npos);
    EXPECT_NE(requests[2].body.find("ChangeKey=\"CK3\""), std::string::npos);
    EXPECT_NE(requests[2].body.find("<t:Content></t:Content>"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.file("attreq.xml")));
}

TEST_F(UploadTest, RefusedOrUnreadableAttachmentsAreCounted)
{
    session.state.server_major_version = 8;
    qv_part &old_inline = qvtest::add_part(*msg, dir.dir(), QV_PART_ATTACHMENT, "a.jpg", "A");
    qvtest::set_text(old_inline.content_id, "cid");
    qvtest::add_part(*msg, dir.dir(), QV_PART_ATTACHMENT, "missing.txt", nullptr);
    server.Push(Respond(200, CreateAttachmentAnswer("Error", "")));

    ParentItem parent{"ITEM", "CK1"};
    EXPECT_EQ(UploadAttachments(session, *msg, dir.dir(), parent), 2);
    EXPECT_EQ(parent.change_key, "CK1");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u); // nothing is sent for a missing part file
    EXPECT_EQ(requests[0].body.find("<t:IsInline>"), std::string::npos); // older servers
    EXPECT_TRUE(log.has("QV Warning: unable to create attachment a.jpg"));
    EXPECT_TRUE(log.has("QV Warning: unable to create attachment missing.txt"));
}

} // namespace
} // namespace mwtest
