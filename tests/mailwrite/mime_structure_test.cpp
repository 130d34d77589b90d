// The structure of built messages, read back with GMime.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "gmime_view.hpp"
#include "mailwrite_test_support.hpp"
#include "qv_test_support.hpp"

namespace mwtest {
namespace {

constexpr char kOuter[] = "Next_Item:_(A3CB49KFSA19)/1";
constexpr char kRelated[] = "Next_Item:_(A3CB49KFSA19)/2";
constexpr char kAlternative[] = "Next_Item:_(A3CB49KFSA19)/3";

// A text file as the builder writes it: every line ending in CRLF.
std::string Crlf(std::string_view text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

// Bytes that base64 must carry exactly (every byte value, no text form).
std::string BinaryContent(std::size_t size, unsigned seed)
{
    return qvtest::sample_bytes(size, seed + 1);
}

class MimeStructure : public ::testing::Test {
  protected:
    WorkDir dir;
    Record msg = NewRecord(7);

    void SetUp() override
    {
        set_text(msg->subject, "Structure");
        set_text(msg->from_name, "Ann Sender");
        set_text(msg->from_address, "ann@example.org");
        AddRecipient(*msg, "Bob", "bob@example.org");
    }
    GMimeMessageView BuildAndParse(const qvamz::MimeBuildOptions &options = TestOptions())
    {
        return ParseWithGMime(Build(*msg, dir, options));
    }
};

TEST_F(MimeStructure, PlainTextOnlyIsOneAlternativePart)
{
    AddPart(*msg, dir.prefix(), QV_PART_TEXT_BODY, "Message Text", "Hello\nsecond line\n");
    std::string raw = ReadFile(Build(*msg, dir));

    EXPECT_NE(raw.find("Content-Type: multipart/alternative;boundary=\"" + std::string(kOuter) +
                       "\"\r\n\r\nThis is a multi-part message in MIME format.\r\n"),
              std::string::npos);
    EXPECT_TRUE(raw.ends_with("--" + std::string(kOuter) + "--\r\n"));
    GMimeMessageView view = ParseWithGMime(dir.file("built.eml"));
    ASSERT_EQ(view.body.Shape(), "multipart/alternative[text/plain]");
    EXPECT_EQ(view.body.boundary, kOuter);
    EXPECT_EQ(view.body.children[0].charset, "UTF-8");
    EXPECT_EQ(view.body.children[0].content, Crlf("Hello\nsecond line\n"));
}

TEST_F(MimeStructure, PlainTextGoesWithTheFirstHtmlBodyLaterHtmlGoesInline)
{
    AddPart(*msg, dir.prefix(), QV_PART_TEXT_BODY, "Message Text", "plain\n");
    AddPart(*msg, dir.prefix(), QV_PART_HTML_BODY, "Message.html",
            "<html><body>first</body></html>");
    AddPart(*msg, dir.prefix(), QV_PART_HTML_BODY, "Second.html", "<html>second</html>");
    GMimeMessageView view = BuildAndParse();
    ASSERT_EQ(view.body.Shape(),
              "multipart/mixed[multipart/alternative[text/plain,text/html],text/html]");
    const auto leaves = view.body.Leaves();
    EXPECT_EQ(leaves[0]->content, Crlf("plain\n"));
    EXPECT_EQ(leaves[1]->content, "<html><body>first</body></html>");
    EXPECT_EQ(leaves[2]->content, "<html>second</html>");
}

TEST_F(MimeStructure, InlineImageOpensRelatedAndAlternativeLevels)
{
    std::string png = BinaryContent(5000, 1);
    AddPart(*msg, dir.prefix(), QV_PART_HTML_BODY, "Message.html",
            "<img src=\"cid:logo@x\">");
    AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, "logo.png", png, "logo@x");
    std::string raw = ReadFile(Build(*msg, dir));

    GMimeMessageView view = ParseWithGMime(dir.file("built.eml"));
    ASSERT_EQ(view.body.Shape(),
              "multipart/mixed[multipart/related[multipart/alternative[text/html],image/png]]");
    std::vector<std::string> boundaries;
    CollectBoundaries(view.body, boundaries);
    EXPECT_EQ(boundaries, (std::vector<std::string>{kOuter, kRelated, kAlternative}));
    const MimeNode &related = view.body.children[0];
    EXPECT_EQ(related.children[1].content_id, "logo@x");
    EXPECT_EQ(related.children[1].content, png);

    std::size_t close3 = raw.find("--" + std::string(kAlternative) + "--");
    std::size_t close2 = raw.find("--" + std::string(kRelated) + "--");
    std::size_t close1 = raw.find("--" + std::string(kOuter) + "--");
    EXPECT_LT(close3, close2);
    EXPECT_LT(close2, close1);
    EXPECT_NE(close1, std::string::npos);
}

// No picture is left out: .jpg attachments past sixty are written like
// any other, and inline images past sixty go out as ordinary attachments.
TEST_F(MimeStructure, ImagesPastSixtyAreStillWritten)
{
    AddPart(*msg, dir.prefix(), QV_PART_TEXT_BODY, "Message Text", "see photos\n");
    for (int i = 0; i < 70; ++i)
        AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, "photo" + std::to_string(i) + ".jpg",
                BinaryContent(100, static_cast<unsigned>(i)));
    for (int i = 0; i < 62; ++i)
        AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, "inline" + std::to_string(i) + ".png",
                BinaryContent(50, static_cast<unsigned>(200 + i)), "img" + std::to_string(i) + "@x");
    AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, "report.pdf", BinaryContent(300, 99));
    GMimeMessageView view = BuildAndParse();
    ASSERT_EQ(view.body.type, "multipart/mixed");
    int photos = 0, inline_images = 0, images_as_attachments = 0;
    bool report = false;
    for (const MimeNode *leaf : view.body.Leaves()) {
        if (leaf->filename.starts_with("photo")) {
            EXPECT_EQ(leaf->filename, "photo" + std::to_string(photos) + ".jpg");
            EXPECT_EQ(leaf->content, BinaryContent(100, static_cast<unsigned>(photos)));
            ++photos;
        }
        const std::string &name = leaf->filename.empty() ? leaf->name : leaf->filename;
        if (name.starts_with("inline")) {
            const int n = std::stoi(name.substr(6));
            EXPECT_EQ(leaf->content, BinaryContent(50, static_cast<unsigned>(200 + n)));
            EXPECT_EQ(leaf->content_id.empty(), n >= 60) << name;
            ++(n < 60 ? inline_images : images_as_attachments);
        }
        report = report || (leaf->filename == "report.pdf" && leaf->content == BinaryContent(300, 99));
    }
    EXPECT_EQ(photos, 70);
    EXPECT_EQ(inline_images, 60);
    EXPECT_EQ(images_as_attachments, 2);
    EXPECT_TRUE(report);
    EXPECT_EQ(dir.log().find("were left out"), std::string::npos);
}

TEST_F(MimeStructure, InlinePdfBecomesAnOrdinaryAttachment)
{
    AddPart(*msg, dir.prefix(), QV_PART_TEXT_BODY, "Message Text", "body\n");
    qv_part &pdf = AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, "report.PDF",
                           BinaryContent(700, 3), "report@x");
    Build(*msg, dir);

    EXPECT_STREQ(pdf.content_id, "");
    GMimeMessageView view = ParseWithGMime(dir.file("built.eml"));
    ASSERT_EQ(view.body.type, "multipart/mixed");
    auto leaves = view.body.Leaves();
    ASSERT_EQ(leaves.size(), 2u);
    EXPECT_EQ(leaves[1]->filename, "report.PDF");
    EXPECT_EQ(leaves[1]->disposition, "attachment");
    EXPECT_EQ(leaves[1]->content_id, "");
    EXPECT_EQ(leaves[1]->content, BinaryContent(700, 3));
}

TEST_F(MimeStructure, NestedEmbeddedMessagesKeepDistinctBoundaries)
{
    AddPart(*msg, dir.prefix(), QV_PART_TEXT_BODY, "Message Text", "level 0\n");
    qv_message *level = msg.get();
    for (int depth = 1; depth <= 4; ++depth) {
        qv_message &sub = AddEmbedded(*level);
        set_text(sub.subject, "level " + std::to_string(depth));
        AddPart(sub, dir.prefix(), QV_PART_TEXT_BODY, "Message Text",
                "text of level " + std::to_string(depth) + "\n");
        AddPart(sub, dir.prefix(), QV_PART_ATTACHMENT, "data" + std::to_string(depth) + ".bin",
                BinaryContent(200, static_cast<unsigned>(depth)));
        level = &sub;
    }
    GMimeMessageView view = BuildAndParse();
    const MimeNode *node = &view.body;
    for (int depth = 1; depth <= 4; ++depth) {
        ASSERT_EQ(node->type, "multipart/mixed") << depth;
        auto embedded = std::find_if(node->children.begin(), node->children.end(),
                                     [](const MimeNode &n) { return n.type == "message/rfc822"; });
        ASSERT_NE(embedded, node->children.end()) << depth;
        EXPECT_EQ(embedded->subject, "level " + std::to_string(depth));
        ASSERT_EQ(embedded->children.size(), 1u);
        node = &embedded->children[0];
        auto leaves = node->Leaves();
        ASSERT_GE(leaves.size(), 2u) << depth;
        EXPECT_EQ(leaves[0]->content, Crlf("text of level " + std::to_string(depth) + "\n"));
        EXPECT_EQ(leaves[1]->content, BinaryContent(200, static_cast<unsigned>(depth)));
    }
    std::vector<std::string> boundaries;
    CollectBoundaries(view.body, boundaries);
    // mixed, related and alternative down to the innermost message, which
    // has no embedded message and so only its mixed level.
    ASSERT_EQ(boundaries.size(), 3u * 4u + 1u);
    for (std::size_t a = 0; a < boundaries.size(); ++a)
        for (std::size_t b = 0; b < boundaries.size(); ++b)
            if (a != b) {
                EXPECT_FALSE(boundaries[b].starts_with(boundaries[a]))
                    << boundaries[a] << " / " << boundaries[b];
            }
    EXPECT_EQ(boundaries[3], "ABCDEFG/2"); // the first embedded message
}

TEST_F(MimeStructure, TextThatHoldsABoundaryLineTravelsInBase64)
{
    std::string text = "before\n--" + std::string(kOuter) + "--\nafter\n";
    AddPart(*msg, dir.prefix(), QV_PART_TEXT_BODY, "Message Text", text);
    AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, "a.bin", BinaryContent(10, 1));
    GMimeMessageView view = BuildAndParse();
    auto leaves = view.body.Leaves();
    ASSERT_EQ(leaves.size(), 2u);
    EXPECT_EQ(leaves[0]->content, text);
    EXPECT_EQ(leaves[1]->content, BinaryContent(10, 1));
}

TEST_F(MimeStructure, MovedAttachmentsBecomeLinkPages)
{
    AddPart(*msg, dir.prefix(), QV_PART_TEXT_BODY, "Message Text", "body\n");
    AddPart(*msg, dir.prefix(), QV_PART_MOVED_ATTACHMENT, "big.zip", "",
            "https://files.example.org/big.zip?a=1&b=2");
    AddPart(*msg, dir.prefix(), QV_PART_MOVED_ATTACHMENT, "other.zip", "", "id 42/x");
    qvamz::MimeBuildOptions options = TestOptions();
    options.document_store_url = "https://store.example.org";
    GMimeMessageView view = BuildAndParse(options);
    ASSERT_EQ(view.body.type, "multipart/mixed");
    auto leaves = view.body.Leaves();
    ASSERT_EQ(leaves.size(), 3u);
    EXPECT_EQ(leaves[1]->filename, "big.zip.html");
    EXPECT_EQ(leaves[1]->disposition, "inline");
    EXPECT_NE(leaves[1]->content.find(
                  "<A HREF=\"https://files.example.org/big.zip?a=1&amp;b=2\">big.zip</A>"),
              std::string::npos);
    EXPECT_NE(leaves[2]->content.find(
                  "<A HREF=\"https://store.example.org/open?id=id%2042%2Fx\">other.zip</A>"),
              std::string::npos);
}

TEST_F(MimeStructure, PartTypesThatAreNotWritten)
{
    qvamz::MimeBuildOptions options = TestOptions();
    AddPart(*msg, dir.prefix(), QV_PART_HEADERS, "Internet Headers.txt", "X-Old: 1\n");
    AddPart(*msg, dir.prefix(), QV_PART_TEXT_BODY, "Message Text", "body\n");
    AddPart(*msg, dir.prefix(), QV_PART_NOT_WRITTEN, "Message Text", "\r\n");
    AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, "RAWRFC.dat", "From: x\n\nraw\n");
    AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, "empty.txt", "");
    GMimeMessageView view = BuildAndParse(options);
    auto leaves = view.body.Leaves();
    ASSERT_EQ(leaves.size(), 1u);
    EXPECT_EQ(leaves[0]->content, Crlf("body\n"));
    for (int i = 0; i < msg->part_count; ++i) // every part file is gone
        EXPECT_FALSE(std::filesystem::exists(PartPath(dir.prefix(), *msg, i))) << i;
}

TEST_F(MimeStructure, HeaderBlockPartWithEihIsAVisibleTextPart)
{
    qvamz::MimeBuildOptions options = TestOptions();
    options.keep_headers = true;
    AddPart(*msg, dir.prefix(), QV_PART_HEADERS, "Internet Headers.txt",
            "Received: from a\nX-Old: 1\n");
    AddPart(*msg, dir.prefix(), QV_PART_TEXT_BODY, "Message Text", "body\n");
    GMimeMessageView view = BuildAndParse(options);
    auto leaves = view.body.Leaves();
    ASSERT_EQ(leaves.size(), 2u);
    EXPECT_EQ(leaves[0]->content, Crlf("Received: from a\nX-Old: 1\n"));
    EXPECT_EQ(leaves[0]->charset, "UTF-8");
    EXPECT_EQ(leaves[1]->content, Crlf("body\n"));
    EXPECT_EQ(view.HeaderCount("X-Old"), 0);
}

TEST_F(MimeStructure, PgpBodyAndSignatureTypes)
{
    AddPart(*msg, dir.prefix(), QV_PART_TEXT_BODY, "pgp message", "Version: 1\n");
    AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, "smime.p7s", BinaryContent(64, 5));
    GMimeMessageView view = BuildAndParse();
    ASSERT_EQ(view.body.Shape(),
              "multipart/mixed[application/pgp-encrypted,application/x-pkcs7-signature]");
    EXPECT_EQ(view.body.Leaves()[1]->content, BinaryContent(64, 5));
}

TEST_F(MimeStructure, EncryptedMessageIsWrittenAsOneSmimePart)
{
    AddPart(*msg, dir.prefix(), QV_PART_HEADERS, "Internet Headers.txt", "X-A: 1\n");
    AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, "smime.p7m", BinaryContent(4000, 8));
    GMimeMessageView view = BuildAndParse();
    EXPECT_EQ(view.body.type, "application/pkcs7-mime");
    EXPECT_EQ(view.body.filename, "smime.p7m");
    EXPECT_EQ(view.body.content, BinaryContent(4000, 8));
}

TEST_F(MimeStructure, UnreadablePartsLeaveValidEmptyPartsAndAWarning)
{
    AddPart(*msg, dir.prefix(), QV_PART_HTML_BODY, "Message.html", "<p>x</p>");
    AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, "gone.bin", BinaryContent(50, 1));
    AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, "kept.bin", BinaryContent(50, 2));
    std::filesystem::remove(PartPath(dir.prefix(), *msg, 0));
    std::filesystem::remove(PartPath(dir.prefix(), *msg, 1));
    GMimeMessageView view = BuildAndParse();
    auto leaves = view.body.Leaves();
    ASSERT_EQ(leaves.size(), 3u);
    EXPECT_EQ(leaves[0]->type, "text/html");
    EXPECT_EQ(leaves[1]->filename, "gone.bin");
    EXPECT_EQ(leaves[1]->content, "");
    EXPECT_EQ(leaves[2]->content, BinaryContent(50, 2));
    EXPECT_NE(dir.log().find("QV Warning: part 1 (\"gone.bin\")"), std::string::npos);
}

TEST_F(MimeStructure, InlinePartsKeepTypeCharsetAndBytes)
{
    AddPart(*msg, dir.prefix(), QV_PART_TEXT_BODY, "Message Text", "body\n");
    set_text(AddPart(*msg, dir.prefix(), QV_PART_INLINE_TEXT, "Message Text", "Gr\xc3\xbc\xc3\x9f" "e\n")
                .charset,
            "UTF-8");
    AddPart(*msg, dir.prefix(), QV_PART_INLINE_TEXT, "delivery-status.txt",
            "Action: failed\n\tStatus: 5.1.1\n");
    set_text(AddPart(*msg, dir.prefix(), QV_PART_INLINE_TEXT, "Inline.enriched", "<b>x\xe9</b>\n").charset,
            "iso-8859-1");
    GMimeMessageView view = BuildAndParse();
    auto leaves = view.body.Leaves();
    ASSERT_EQ(leaves.size(), 4u);
    EXPECT_EQ(leaves[1]->type, "text/plain");
    EXPECT_EQ(leaves[1]->charset, "UTF-8");
    EXPECT_EQ(leaves[1]->disposition, "inline");
    EXPECT_EQ(leaves[1]->filename, "");
    EXPECT_EQ(leaves[2]->type, "message/delivery-status");
    EXPECT_EQ(leaves[2]->content, "Action: failed\n\tStatus: 5.1.1\n") << "bytes as stored";
    EXPECT_EQ(leaves[3]->type, "text/enriched");
    EXPECT_EQ(leaves[3]->charset, "iso-8859-1");
    EXPECT_EQ(leaves[3]->content, "<b>x\xe9</b>\n");
}

TEST_F(MimeStructure, MessageWithoutBodyIsOnePlainPart)
{
    AddPart(*msg, dir.prefix(), QV_PART_NOT_WRITTEN, "Message Text", "\r\n");
    GMimeMessageView view = BuildAndParse();
    EXPECT_EQ(view.body.type, "text/plain");
    EXPECT_TRUE(view.body.children.empty());
    EXPECT_EQ(view.body.content, "");
}

TEST_F(MimeStructure, RawPassThroughCopiesTheSourceTextAndKeepsPartFiles)
{
    std::string source = "From: a@x\r\nSubject: raw\r\n\r\nbody \x01\xff\r\n";
    AddPart(*msg, dir.prefix(), QV_PART_TEXT_BODY, "Message Text", "body\n");
    AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, "RAWRFC.dat", source);
    qvamz::MimeBuildOptions options = TestOptions();
    options.raw_passthrough = true;

    EXPECT_EQ(ReadFile(Build(*msg, dir, options)), source);
    EXPECT_TRUE(std::filesystem::exists(PartPath(dir.prefix(), *msg, 0)));

    std::filesystem::remove(PartPath(dir.prefix(), *msg, 1)); // unreadable: built normally
    std::string built = ReadFile(Build(*msg, dir, options));
    EXPECT_NE(built.find("Subject: Structure\r\n"), std::string::npos);
}

} // namespace
} // namespace mwtest
