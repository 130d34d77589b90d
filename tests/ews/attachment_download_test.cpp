// Attachment download against a scripted server: every file attachment of
// an item becomes a part, in order; failures and empty attachments add
// nothing.  (The requests against the schema: the sandbox suites.)
#include <gtest/gtest.h>

#include <string>

#include "ews/attachment_download.hpp"
#include "qv/qvcom.hpp"
#include "qv_test_support.hpp"
#include "scripted_server.hpp"
#include "test_support.hpp"

namespace {

using namespace qvamz;
using conntest::Respond;

std::string GetAttachmentAnswer(const std::string &id, const std::string &content_base64)
{
    return conntest::Success("GetAttachment", "<m:Attachments><t:FileAttachment><t:AttachmentId Id=\"" +
                                                  id + "\"/><t:Name>x</t:Name><t:Content>" +
                                                  content_base64 +
                                                  "</t:Content></t:FileAttachment></m:Attachments>");
}

// An item's attachment list as the transport stores a GetItem answer.
const std::string kItemText = conntest::StoredForm(
    "<t:Attachments><t:FileAttachment><t:AttachmentId Id=\"ATT1+/=\"/><t:Name>notes &amp; plans.txt"
    "</t:Name></t:FileAttachment><t:ItemAttachment><t:AttachmentId Id=\"ITEM1\"/><t:Name>forwarded"
    "</t:Name></t:ItemAttachment><t:FileAttachment><t:AttachmentId Id=\"ATT2\"/></t:FileAttachment>"
    "<t:FileAttachment><t:AttachmentId Id=\"ATT3\"/><t:Name>photo.jpg</t:Name></t:FileAttachment>"
    "</t:Attachments>");

TEST(FileAttachmentsOf, EveryFileAttachmentWithItsOwnName)
{
    const auto found = FileAttachmentsOf(kItemText);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].id, "ATT1+/=");
    EXPECT_EQ(found[0].name, "notes & plans.txt");
    EXPECT_EQ(found[1].id, "ATT2");
    EXPECT_EQ(found[1].name, ""); // not the next attachment's name
    EXPECT_EQ(found[2].name, "photo.jpg");
    EXPECT_TRUE(FileAttachmentsOf("<t:Contact>\r\n</t:Contact>\r\n").empty());
}

class DownloadTest : public conntest::ScriptedSessionTest {
  protected:
    qvtest::Record msg = qvtest::new_record(12);
};

TEST_F(DownloadTest, AllAttachmentsBecomePartsInOrder)
{
    const std::string first = qvtest::sample_bytes(3000, 1);
    server.Push(Respond(200, GetAttachmentAnswer("ATT1+/=", qvtest::base64_encode(first))));
    server.Push(Respond(200, GetAttachmentAnswer("ATT2", ""))); // empty: no part
    server.Push(Respond(200, GetAttachmentAnswer("ATT3", qvtest::base64_encode("JPEG"))));

    EXPECT_EQ(DownloadAttachments(session, kItemText, *msg, dir.dir()), 3);
    ASSERT_EQ(msg->part_count, 2);
    EXPECT_STREQ(msg->parts[0]->file_name, "notes & plans.txt");
    EXPECT_EQ(msg->parts[0]->part_type, QV_PART_ATTACHMENT);
    EXPECT_EQ(msg->parts[0]->size, first.size());
    EXPECT_EQ(conntest::ReadFile(qvcom::part_file_path(dir.dir(), 12, 0)), first);
    EXPECT_STREQ(msg->parts[1]->file_name, "photo.jpg");
    EXPECT_EQ(conntest::ReadFile(qvcom::part_file_path(dir.dir(), 12, 1)), "JPEG");
    EXPECT_FALSE(std::filesystem::exists(qvcom::part_file_path(dir.dir(), 12, 2)));
    EXPECT_FALSE(std::filesystem::exists(dir.file("attach.xml")));

    EXPECT_EQ(server.requests().size(), 3u);
}

TEST_F(DownloadTest, NoAttachmentNoRequestAndFailuresAddNothing)
{
    EXPECT_EQ(DownloadAttachments(session, "<t:Contact>\r\n</t:Contact>\r\n", *msg, dir.dir()), 0);
    EXPECT_TRUE(server.requests().empty());

    server.SetFallback([](const conntest::RecordedRequest &) { return Respond(404, "gone"); });
    EXPECT_EQ(DownloadAttachments(session, kItemText, *msg, dir.dir()), 3);
    EXPECT_EQ(msg->part_count, 0);
    EXPECT_FALSE(std::filesystem::exists(qvcom::part_file_path(dir.dir(), 12, 0)));
    EXPECT_TRUE(log.has("QV Warning: unable to download attachment photo.jpg"));
}

} // namespace
