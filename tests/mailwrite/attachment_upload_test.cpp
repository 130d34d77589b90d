// Attachment upload against a scripted server: each attachment is sent
// with the change key the previous answer gave, requests pass the schema,
// and refusals are reported.
#include <gtest/gtest.h>

#include <string>

#include "mailwrite/attachment_upload.hpp"
#include "qv/qvcom.hpp"
#include "qv_test_support.hpp"
#include "scripted_server.hpp"

namespace {

using namespace qvamz;
using conntest::Respond;

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
