// The structure of built messages, read back with GMime and compared with
// their records in tests/data/mailwrite (header block, addresses and the
// MIME tree with every leaf's bytes: see BuiltRecord).
#include <gtest/gtest.h>

#include <filesystem>

#include "gmime_view.hpp"
#include "mailwrite_test_support.hpp"
#include "qv_test_support.hpp"

namespace mwtest {
namespace {

constexpr char kOuter[] = "Next_Item:_(A3CB49KFSA19)/1";

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
    GMimeMessageView Recorded(const std::string &name,
                              const qvamz::MimeBuildOptions &options = TestOptions())
    {
        return ExpectBuiltAsRecorded(name, *msg, dir, options);
    }
};

TEST_F(MimeStructure, PlainTextOnlyIsOneAlternativePart)
{
    AddPart(*msg, dir.prefix(), QV_PART_TEXT_BODY, "Message Text", "Hello\nsecond line\n");
    Recorded("plain_text_only");
    EXPECT_TRUE(ReadFile(dir.file("built.eml")).ends_with("--" + std::string(kOuter) + "--\r\n"));
}

TEST_F(MimeStructure, PlainTextGoesWithTheFirstHtmlBodyLaterHtmlGoesInline)
{
    AddPart(*msg, dir.prefix(), QV_PART_TEXT_BODY, "Message Text", "plain\n");
    AddPart(*msg, dir.prefix(), QV_PART_HTML_BODY, "Message.html",
            "<html><body>first</body></html>");
    AddPart(*msg, dir.prefix(), QV_PART_HTML_BODY, "Second.html", "<html>second</html>");
    Recorded("plain_and_two_html");
}

TEST_F(MimeStructure, InlineImageOpensRelatedAndAlternativeLevels)
{
    AddPart(*msg, dir.prefix(), QV_PART_HTML_BODY, "Message.html",
            "<img src=\"cid:logo@x\">");
    AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, "logo.png", BinaryContent(5000, 1), "logo@x");
    Recorded("inline_image");
    // The levels close innermost first (GMime forgives a level never closed).
    const std::string raw = ReadFile(dir.file("built.eml"));
    const auto closing = [&](char level) {
        return raw.find("--" + std::string(kOuter, 26) + level + "--");
    };
    EXPECT_LT(closing('3'), closing('2'));
    EXPECT_LT(closing('2'), closing('1'));
    EXPECT_NE(closing('1'), std::string::npos);
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
    Recorded("images_past_sixty");
    EXPECT_EQ(dir.log().find("were left out"), std::string::npos);
}

TEST_F(MimeStructure, InlinePdfBecomesAnOrdinaryAttachment)
{
    AddPart(*msg, dir.prefix(), QV_PART_TEXT_BODY, "Message Text", "body\n");
    qv_part &pdf = AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, "report.PDF",
                           BinaryContent(700, 3), "report@x");
    Recorded("inline_pdf");
    EXPECT_STREQ(pdf.content_id, "");
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
    GMimeMessageView view = Recorded("nested_embedded");
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
}

TEST_F(MimeStructure, TextThatHoldsABoundaryLineTravelsInBase64)
{
    AddPart(*msg, dir.prefix(), QV_PART_TEXT_BODY, "Message Text",
            "before\n--" + std::string(kOuter) + "--\nafter\n");
    AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, "a.bin", BinaryContent(10, 1));
    Recorded("text_with_boundary_line");
}

// Part files are read whole up to a bound and streamed past it; both ways
// build the same text: line ends, a boundary line, the reader's charset
// line before an HTML body, a charset declared inside one, thread headers.
TEST_F(MimeStructure, PartsReadWholeOrStreamedBuildTheSameText)
{
    const auto build = [this](std::size_t in_memory_max) {
        Record rec = NewRecord(7);
        set_text(rec->subject, "Streams");
        AddPart(*rec, dir.prefix(), QV_PART_HEADERS, "Internet Headers.txt",
                "Subject: x\r\nThread-Topic: t\r\n\tmore\r\nReferences: <a@b>\n");
        AddPart(*rec, dir.prefix(), QV_PART_TEXT_BODY, "Message Text", "caf\xc3\xa9\r\nl\rnext\r");
        set_text(AddPart(*rec, dir.prefix(), QV_PART_HTML_BODY, "Message.html",
                         "<html><META http-equiv=\"Content-Type\" content=\"text/html; "
                         "charset=UTF-8\">\n<p>body</p>")
                     .charset,
                 "UTF-8");
        AddPart(*rec, dir.prefix(), QV_PART_HTML_BODY, "Second.html",
                "<p>\n<meta charset=\"koi8-r\">\n<p>2</p>");
        AddPart(*rec, dir.prefix(), QV_PART_INLINE_TEXT, "Inline.txt",
                "x\n--" + std::string(kOuter) + "\n");
        AddPart(*rec, dir.prefix(), QV_PART_ATTACHMENT, "a.bin", BinaryContent(300, 2));
        qvamz::MimeBuildOptions options = TestOptions();
        options.part_in_memory_max = in_memory_max;
        return ReadFile(Build(*rec, dir, options));
    };
    const std::string whole = build(qvamz::kPartInMemoryMax);
    EXPECT_NE(whole.find("Thread-Topic: t\r\n\tmore\r\n"), std::string::npos);
    EXPECT_NE(whole.find("charset=\"koi8-r\""), std::string::npos);
    EXPECT_NE(whole.find("\r\nPHA+Ym9keTwvcD4=\r\n"), std::string::npos) << "<p>body</p>";
    EXPECT_EQ(build(0), whole);
}

TEST_F(MimeStructure, MovedAttachmentsBecomeLinkPages)
{
    AddPart(*msg, dir.prefix(), QV_PART_TEXT_BODY, "Message Text", "body\n");
    AddPart(*msg, dir.prefix(), QV_PART_MOVED_ATTACHMENT, "big.zip", "",
            "https://files.example.org/big.zip?a=1&b=2");
    AddPart(*msg, dir.prefix(), QV_PART_MOVED_ATTACHMENT, "other.zip", "", "id 42/x");
    qvamz::MimeBuildOptions options = TestOptions();
    options.document_store_url = "https://store.example.org";
    Recorded("moved_attachments", options);
}

TEST_F(MimeStructure, PartTypesThatAreNotWritten)
{
    AddPart(*msg, dir.prefix(), QV_PART_HEADERS, "Internet Headers.txt", "X-Old: 1\n");
    AddPart(*msg, dir.prefix(), QV_PART_TEXT_BODY, "Message Text", "body\n");
    AddPart(*msg, dir.prefix(), QV_PART_NOT_WRITTEN, "Message Text", "\r\n");
    AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, "RAWRFC.dat", "From: x\n\nraw\n");
    AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, "empty.txt", "");
    Recorded("part_types_not_written");
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
    Recorded("header_block_part", options);
}

TEST_F(MimeStructure, PgpBodySignatureAndEncryptedMessageTypes)
{
    AddPart(*msg, dir.prefix(), QV_PART_TEXT_BODY, "pgp message", "Version: 1\n");
    AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, "smime.p7s", BinaryContent(64, 5));
    Recorded("pgp_and_signature");

    // An encrypted message is written as one S/MIME part.
    msg = NewRecord(8);
    AddPart(*msg, dir.prefix(), QV_PART_HEADERS, "Internet Headers.txt", "X-A: 1\n");
    AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, "smime.p7m", BinaryContent(4000, 8));
    Recorded("encrypted");
}

TEST_F(MimeStructure, UnreadablePartsLeaveValidEmptyPartsAndAWarning)
{
    AddPart(*msg, dir.prefix(), QV_PART_HTML_BODY, "Message.html", "<p>x</p>");
    AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, "gone.bin", BinaryContent(50, 1));
    AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, "kept.bin", BinaryContent(50, 2));
    std::filesystem::remove(PartPath(dir.prefix(), *msg, 0));
    std::filesystem::remove(PartPath(dir.prefix(), *msg, 1));
    Recorded("unreadable_parts");
    EXPECT_NE(dir.log().find("QV Warning: part 1 (\"gone.bin\")"), std::string::npos);
}

// Inline parts keep their type, charset and the bytes as stored.
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
    Recorded("inline_parts");
}

TEST_F(MimeStructure, MessageWithoutBodyIsOnePlainPart)
{
    AddPart(*msg, dir.prefix(), QV_PART_NOT_WRITTEN, "Message Text", "\r\n");
    Recorded("without_body");
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
