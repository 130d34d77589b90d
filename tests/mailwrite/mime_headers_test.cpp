// Header text of built messages: the helpers one by one, then the header
// block of whole messages as GMime reads it.
#include <gtest/gtest.h>

#include "gmime_view.hpp"
#include "mailwrite/mime_headers.hpp"
#include "mailwrite_test_support.hpp"

namespace mwtest {
namespace {

using qvamz::mime::FoldHeader;
using qvamz::mime::HeaderEncoder;
using qvamz::mime::MailboxValue;
using qvamz::mime::UtcOffsetMinutes;

std::string Unfold(std::string folded)
{
    for (std::size_t at = 0; (at = folded.find("\r\n", at)) != std::string::npos;)
        folded.erase(at, 2);
    return folded;
}

TEST(FoldHeader, NeverFoldsWhereUnfoldingWouldChangeTheValue)
{
    struct Case {
        std::string value;
        std::string must_stay; // text that must not be split by a fold
    };
    std::string pad(70, 'x');
    std::vector<Case> cases = {
        {"a " + pad + "  two blanks", "  two"},   // a run of blanks
        {"\"" + pad + "\" <someone@example.org>", "\" <someone"}, // before an angle address
        {"a " + pad + " =5 is not a word", " =5"}, // "=" after plain text
    };
    for (const Case &c : cases) {
        std::string folded = FoldHeader("To", c.value);
        EXPECT_NE(folded.find(c.must_stay), std::string::npos) << folded;
        EXPECT_EQ(Unfold(folded), "To: " + c.value);
    }
    // Long encoded words: after the colon and between the words.
    std::string a = "=?UTF-8?B?" + std::string(60, 'A') + "?=";
    std::string b = "=?UTF-8?B?" + std::string(60, 'B') + "?=";
    EXPECT_EQ(FoldHeader("Subject", a + " " + b), "Subject:\r\n " + a + "\r\n " + b + "\r\n");
}

TEST(MailboxValue, FormsOfNameAndAddress)
{
    struct Case {
        std::string name, address, expected;
    };
    std::vector<Case> cases = {
        {"Bob Smith", "bob@example.org", "\"Bob Smith\" <bob@example.org>"},
        {"Bob Smith", "", "\"Bob Smith\""},
        {"", "bob@example.org", "<bob@example.org>"},
        {"", "", ""},
        {"Bob <bob@example.org>", "ignored@example.org", "\"Bob\" <bob@example.org>"},
        {"\"Smith, Bob\" <bob@example.org>", "", "\"Smith, Bob\" <bob@example.org>"},
        {"<bob@example.org>", "", "<bob@example.org>"},
        {"Bob <bob@example.org> (Alice)", "", "\"Bob (Alice)\" <bob@example.org>"},
        {"Bob \"BB\" Smith", "b@x.org", "\"Bob \\\"BB\\\" Smith\" <b@x.org>"},
        {"Evil\r\nBcc: x@y", "a\r\n@b", "\"Evil Bcc: x@y\" <a@b>"},
    };
    for (const Case &c : cases) {
        HeaderEncoder encoder(65001);
        EXPECT_EQ(MailboxValue(c.name, c.address, encoder), c.expected) << c.name;
    }
}

TEST(UtcOffsetMinutes, WellFormedTextsOnly)
{
    EXPECT_EQ(UtcOffsetMinutes("+0100"), 60);
    EXPECT_EQ(UtcOffsetMinutes("-0930"), -570);
    EXPECT_EQ(UtcOffsetMinutes("+1345"), 825);
    for (const char *bad : {"", "0100", "+01", "+01:00", "+0a00"})
        EXPECT_EQ(UtcOffsetMinutes(bad), 0) << bad;
}

class MimeHeaders : public ::testing::Test {
  protected:
    WorkDir dir;
    Record msg = NewRecord(3);

    void SetUp() override
    {
        set_text(msg->subject, "Hello");
        set_text(msg->from_name, "Ann Sender");
        set_text(msg->from_address, "ann@example.org");
        AddPart(*msg, dir.prefix(), QV_PART_TEXT_BODY, "Message Text", "body\n");
    }
    // The record of the build (raw header block, addresses and subject as
    // GMime decodes them, the MIME tree) against tests/data/mailwrite.
    GMimeMessageView Recorded(const std::string &name,
                              const qvamz::MimeBuildOptions &options = TestOptions())
    {
        WriteFile(PartPath(dir.prefix(), *msg, 0), "body\n"); // a build removes it
        return ExpectBuiltAsRecorded(name, *msg, dir, options);
    }
};

// A group and its members on one line; the end mark is never a name.
TEST_F(MimeHeaders, GroupsGoOnOneLineWithTheirMembers)
{
    AddRecipient(*msg, "Undisclosed-Recipients:;", "", QV_RECIP_TO);
    AddRecipient(*msg, "A Group:", "", QV_RECIP_TO);
    AddRecipient(*msg, "Chris", "c@example.org", QV_RECIP_TO);
    AddRecipient(*msg, "", "joe@example.org", QV_RECIP_TO);
    AddRecipient(*msg, ";", "", QV_RECIP_TO);
    AddRecipient(*msg, "After", "after@example.org", QV_RECIP_TO);
    AddRecipient(*msg, "Open:", "", QV_RECIP_CC); // its end never came
    AddRecipient(*msg, "", "m@example.org", QV_RECIP_CC);
    AddRecipient(*msg, "", "bcc@example.org", QV_RECIP_BCC);
    Recorded("groups");
}

// Sender beside From, the organizer among the To recipients, Bcc kept, a
// name without address, and the Message-ID in one pair of brackets.
TEST_F(MimeHeaders, SenderAndRecipients)
{
    AddRecipient(*msg, "Bob", "bob@example.org", QV_RECIP_TO);
    AddRecipient(*msg, "Carol", "carol@example.org", QV_RECIP_CC);
    AddRecipient(*msg, "Dave", "dave@example.org", QV_RECIP_BCC);
    AddRecipient(*msg, "Organizer", "org@example.org", QV_RECIP_ORGANIZER);
    AddRecipient(*msg, "Name Only", "", QV_RECIP_TO);
    set_text(msg->message_id, "abc@example.org");
    Recorded("sender_and_recipients");
    set_text(msg->message_id, "<def@example.org>");
    EXPECT_NE(ReadFile(Build(*msg, dir)).find("\r\nMessage-ID: <def@example.org>\r\n"),
              std::string::npos);
}

TEST_F(MimeHeaders, SentRepresentingJoinsTheSenderName)
{
    set_text(msg->sent_representing, "Boss");
    Recorded("sent_representing");
    EXPECT_STREQ(msg->from_name, "Ann Sender"); // the record keeps its sender
}

TEST_F(MimeHeaders, PriorityImportanceAndReadState)
{
    for (const auto &[name, value] :
         {std::pair{"low_and_read", 0}, {"high_and_unread", 2}, {"normal", 1}}) {
        msg->priority = value;
        msg->importance = value;
        msg->unread = value == 0 ? 0 : 1;
        Recorded(std::string("priority_") + name);
    }
}

// The same instant in the session's offset; a missing date is now.  The
// record is left alone either way.
TEST_F(MimeHeaders, DateInTheSessionsOffsetOrNow)
{
    Recorded("date_now");
    EXPECT_EQ(msg->date, 0u);
    msg->date = com_UnixToFileTime(1700000000);
    qvamz::MimeBuildOptions options = TestOptions();
    options.utc_offset_text = "-0330";
    Recorded("date_in_offset", options);
    EXPECT_EQ(msg->date, com_UnixToFileTime(1700000000));
}

TEST_F(MimeHeaders, NonAsciiTextsDecodeToTheRecordsTexts)
{
    set_text(msg->subject, "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln \xE2\x80\x94 "
                           "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E and a rather long tail of "
                           "plain words that forces folding of the line");
    set_text(msg->from_name, "J\xC3\xBCrgen M\xC3\xBCller");
    AddRecipient(*msg, "\xC3\x89lodie", "elodie@example.org", QV_RECIP_CC);
    Recorded("non_ascii");

    // Quotes, brackets, long runs without blanks, text that looks encoded.
    std::string cjk;
    for (int i = 0; i < 60; ++i)
        cjk += "\xE6\x97\xA5";
    for (std::string other : {std::string("Say \"Gr\xC3\xBC\xC3\x9F" "e\" twice"),
                              std::string("Re: <urgent> K\xC3\xB6ln"), cjk,
                              std::string("=?not encoded?= plain")}) {
        SCOPED_TRACE(other);
        set_text(msg->subject, other);
        WriteFile(PartPath(dir.prefix(), *msg, 0), "body\n");
        const std::string raw = ReadFile(Build(*msg, dir));
        ExpectWellFormedHeader(raw);
        EXPECT_EQ(ParseWithGMime(dir.file("built.eml")).subject, other);
    }
}

TEST_F(MimeHeaders, LineBreaksInRecordTextsNeverStartHeaderLines)
{
    set_text(msg->subject, "Hi\r\nBcc: evil@example.org");
    set_text(msg->from_name, "Ann\nX-Injected: 1");
    set_text(msg->message_id, "id@x\r\nX-Injected: 2");
    AddRecipient(*msg, "Bob\rX-Injected: 3", "bob@example.org\r\n");
    AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, "a\r\nX-Injected: 5.txt", "data", "");
    Recorded("line_breaks"); // the record's header block shows every line
}

TEST_F(MimeHeaders, FileNamesKeepTheirQuotesAndLetters)
{
    for (const char *name : {"say \"hi\".txt", "back\\slash.txt", "\"quoted whole.txt\"",
                             "r\xC3\xA9sum\xC3\xA9.pdf"})
        AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, name, std::string("content of ") + name);
    Recorded("file_names");
}

// Thread headers of the source's header block are copied with their
// continuation lines; other fields are not.
TEST_F(MimeHeaders, ThreadHeadersAreCopiedWithTheirContinuations)
{
    AddPart(*msg, dir.prefix(), QV_PART_HEADERS, "Internet Headers.txt",
            "Received: from a\n"
            "Thread-Topic: topic\n"
            "References: <a@x>\n"
            "\t<b@x>\n"
            "X-Other: 1\n"
            "in-reply-to: <b@x>\r\n"
            "Thread-Index: AQHX\n");
    Recorded("thread_headers");
}

// The source's own header block replaces the generated one, but for the
// MIME fields (ours only) and what follows its blank line.
TEST_F(MimeHeaders, OwnHeadersReplaceTheGeneratedOnes)
{
    AddPart(*msg, dir.prefix(), QV_PART_HEADERS, "Internet Headers.txt",
            "From sender@example.org Sun Dec  6 15:04:05 2026\n"
            "From: Original <orig@example.org>\n"
            "Subject: original subject\n"
            "Content-Type: multipart/mixed;\n"
            "\tcharset=\"x\";\n"
            "\tboundary=\"old\"\n"
            "Content-Transfer-Encoding: base64\n"
            "X-Kept: yes\n"
            " continued\n"
            "\n"
            "not a header: after the blank line\n");
    qvamz::MimeBuildOptions options = TestOptions();
    options.own_headers = true;
    options.keep_headers = true;
    Recorded("own_headers", options);
}

} // namespace
} // namespace mwtest
