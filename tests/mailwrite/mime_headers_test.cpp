// Header text of built messages: the helpers one by one, then the header
// block of whole messages as GMime reads it.
#include <gtest/gtest.h>

#include <sstream>

#include "gmime_view.hpp"
#include "mailwrite/mime_headers.hpp"
#include "mailwrite_test_support.hpp"

namespace mwtest {
namespace {

using qvamz::mime::DateValue;
using qvamz::mime::FoldHeader;
using qvamz::mime::HeaderEncoder;
using qvamz::mime::MailboxValue;
using qvamz::mime::UtcOffsetMinutes;

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find("\r\n", at);
        if (end == std::string::npos)
            end = text.size();
        out.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    return out;
}

// The header block of a built message: lines up to the first empty one.
std::vector<std::string> HeaderLines(const std::string &raw)
{
    return Lines(raw.substr(0, raw.find("\r\n\r\n")));
}

std::string Unfold(const std::string &folded)
{
    std::string out;
    for (const std::string &line : Lines(folded))
        out += line;
    return out;
}

TEST(FoldHeader, LongLinesFoldAtSingleBlanksAndUnfoldToTheSame)
{
    EXPECT_EQ(FoldHeader("Subject", "hello world"), "Subject: hello world\r\n");
    std::string words;
    for (int i = 0; i < 40; ++i)
        words += (i ? " " : "") + std::string("word") + std::to_string(i);
    std::string folded = FoldHeader("Subject", words);
    for (const std::string &line : Lines(folded))
        EXPECT_LE(line.size(), qvamz::mime::kHeaderLineSoftMax) << line;
    EXPECT_GT(Lines(folded).size(), 3u);
    EXPECT_EQ(Unfold(folded), "Subject: " + words);
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
    EXPECT_EQ(Lines(FoldHeader("Subject", a + " " + b)),
              (std::vector<std::string>{"Subject:", " " + a, " " + b}));
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

TEST(DateValue, EnglishNamesAndTheOffset)
{
    // 2026-12-06 15:04:05 UTC
    qv_filetime date = com_UnixToFileTime(1796569445);
    EXPECT_EQ(DateValue(date, "+0100"), "Sun, 06 Dec 2026 16:04:05 +0100");
    EXPECT_EQ(DateValue(date, "-0530"), "Sun, 06 Dec 2026 09:34:05 -0530");
    EXPECT_EQ(DateValue(date, ""), "Sun, 06 Dec 2026 15:04:05 +0000");
    EXPECT_EQ(DateValue(com_UnixToFileTime(951782400), "+0000"),
              "Tue, 29 Feb 2000 00:00:00 +0000");
    EXPECT_EQ(DateValue(date + 8 * 3600 * 10'000'000ull + 55 * 60 * 10'000'000ull, "+0100"),
              "Mon, 07 Dec 2026 00:59:05 +0100");
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

    GMimeMessageView BuildAndParse(const qvamz::MimeBuildOptions &options = TestOptions())
    {
        Build(*msg, dir, options);
        return ParseWithGMime(dir.file("built.eml"));
    }
    std::string Raw() const { return ReadFile(dir.file("built.eml")); }
};

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
    GMimeMessageView view = BuildAndParse();
    const std::string raw = Raw();
    EXPECT_NE(raw.find("\r\nTo: \"Undisclosed-Recipients\":;\r\n"), std::string::npos) << raw;
    EXPECT_NE(raw.find("\r\nTo: \"A Group\": \"Chris\" <c@example.org>, <joe@example.org>;\r\n"),
              std::string::npos)
        << raw;
    EXPECT_NE(raw.find("\r\ncc: \"Open\": <m@example.org>;\r\n"), std::string::npos) << raw;
    EXPECT_EQ(raw.find("\";\""), std::string::npos) << "no end mark written as a name";
    EXPECT_NE(raw.find("\r\nTo: \"After\" <after@example.org>\r\n"), std::string::npos) << raw;
    ASSERT_EQ(view.to.size(), 3u) << "two groups and one mailbox";
    EXPECT_EQ(view.to[2].address, "after@example.org");
}

TEST_F(MimeHeaders, SenderAndRecipients)
{
    AddRecipient(*msg, "Bob", "bob@example.org", QV_RECIP_TO);
    AddRecipient(*msg, "Carol", "carol@example.org", QV_RECIP_CC);
    AddRecipient(*msg, "Dave", "dave@example.org", QV_RECIP_BCC);
    AddRecipient(*msg, "Organizer", "org@example.org", QV_RECIP_ORGANIZER);
    AddRecipient(*msg, "Name Only", "", QV_RECIP_TO);
    set_text(msg->message_id, "abc@example.org"); // gets its angle brackets
    GMimeMessageView view = BuildAndParse();

    // From, To and Cc as such travel the whole copy in tests/differential.
    ASSERT_EQ(view.from.size(), 1u);
    EXPECT_EQ(view.Header("Sender"), view.Header("From"));
    ASSERT_EQ(view.to.size(), 3u);
    EXPECT_EQ(view.to[1].address, "org@example.org");
    ASSERT_EQ(view.bcc.size(), 1u);
    EXPECT_EQ(view.bcc[0].address, "dave@example.org");
    std::string raw = Raw();
    EXPECT_NE(raw.find("\r\nTo: \"Name Only\"\r\n"), std::string::npos);
    EXPECT_NE(raw.find("\r\nMessage-ID: <abc@example.org>\r\n"), std::string::npos);
    set_text(msg->message_id, "<def@example.org>"); // and no second pair
    EXPECT_NE(ReadFile(Build(*msg, dir)).find("\r\nMessage-ID: <def@example.org>\r\n"),
              std::string::npos);
}

TEST_F(MimeHeaders, SentRepresentingJoinsTheSenderName)
{
    set_text(msg->sent_representing, "Boss");
    GMimeMessageView view = BuildAndParse();
    ASSERT_EQ(view.from.size(), 1u);
    EXPECT_EQ(view.from[0].name, "Ann Sender (Boss)");
    EXPECT_EQ(view.from[0].address, "ann@example.org");
    EXPECT_EQ(view.Header("Original-Sender"), "\"Boss\"");
    EXPECT_STREQ(msg->from_name, "Ann Sender"); // the record keeps its sender
}

TEST_F(MimeHeaders, PriorityImportanceAndReadState)
{
    struct Case {
        int priority, importance, unread;
        std::vector<std::string> present, absent;
    };
    std::vector<Case> cases = {
        {0, 0, 0, {"Priority: Low", "X-Priority: 5", "Importance: Low", "X-Mozilla-Status: 0001"}, {}},
        {2, 2, 1, {"Priority: Urgent", "X-Priority: 1", "Importance: High"}, {"X-Mozilla-Status"}},
        {1, 1, 1, {}, {"Priority", "Importance", "X-Mozilla-Status"}},
    };
    for (const Case &c : cases) {
        msg->priority = c.priority;
        msg->importance = c.importance;
        msg->unread = c.unread;
        Build(*msg, dir);
        std::vector<std::string> lines = HeaderLines(Raw());
        for (const std::string &want : c.present)
            EXPECT_NE(std::find(lines.begin(), lines.end(), want), lines.end()) << want;
        for (const std::string &name : c.absent)
            for (const std::string &line : lines)
                EXPECT_FALSE(line.starts_with(name + ":")) << line;
    }
}

// The same instant in the session's offset; a missing date is now.  The
// record is left alone either way.
TEST_F(MimeHeaders, DateInTheSessionsOffsetOrNow)
{
    qvamz::MimeBuildOptions options = TestOptions();
    options.now = [] { return com_UnixToFileTime(1700000000); };
    EXPECT_EQ(BuildAndParse(options).date_unix, 1700000000);
    EXPECT_EQ(msg->date, 0u);

    msg->date = com_UnixToFileTime(1796569445);
    WriteFile(PartPath(dir.prefix(), *msg, 0), "body\n");
    options.utc_offset_text = "-0330";
    GMimeMessageView view = BuildAndParse(options);
    EXPECT_EQ(view.Header("Date"), "Sun, 06 Dec 2026 11:34:05 -0330");
    EXPECT_EQ(msg->date, com_UnixToFileTime(1796569445));
}

TEST_F(MimeHeaders, NonAsciiTextsDecodeToTheRecordsTexts)
{
    std::string subject = "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln \xE2\x80\x94 "
                          "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E and a rather long tail of "
                          "plain words that forces folding of the line";
    set_text(msg->subject, subject);
    set_text(msg->from_name, "J\xC3\xBCrgen M\xC3\xBCller");
    AddRecipient(*msg, "\xC3\x89lodie", "elodie@example.org", QV_RECIP_CC);
    GMimeMessageView view = BuildAndParse();

    EXPECT_EQ(view.subject, subject);
    EXPECT_EQ(view.from[0].name, "J\xC3\xBCrgen M\xC3\xBCller");
    EXPECT_EQ(view.cc[0].name, "\xC3\x89lodie");
    for (const std::string &line : HeaderLines(Raw())) {
        EXPECT_LE(line.size(), qvamz::mime::kHeaderLineSoftMax) << line;
        for (unsigned char c : line)
            EXPECT_LT(c, 0x80) << line;
    }

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
        EXPECT_EQ(BuildAndParse().subject, other);
        for (const std::string &line : HeaderLines(Raw()))
            EXPECT_LE(line.size(), qvamz::mime::kHeaderLineSoftMax) << line;
    }
}

TEST_F(MimeHeaders, LineBreaksInRecordTextsNeverStartHeaderLines)
{
    set_text(msg->subject, "Hi\r\nBcc: evil@example.org");
    set_text(msg->from_name, "Ann\nX-Injected: 1");
    set_text(msg->message_id, "id@x\r\nX-Injected: 2");
    AddRecipient(*msg, "Bob\rX-Injected: 3", "bob@example.org\r\n");
    AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, "a\r\nX-Injected: 5.txt", "data",
            "");
    GMimeMessageView view = BuildAndParse();

    EXPECT_EQ(view.HeaderCount("Bcc"), 0);
    EXPECT_EQ(view.HeaderCount("X-Injected"), 0);
    EXPECT_EQ(view.subject, "Hi Bcc: evil@example.org");
    ASSERT_EQ(view.to.size(), 1u);
    EXPECT_EQ(view.to[0].name, "Bob X-Injected: 3");
    for (const std::string &line : HeaderLines(Raw()))
        EXPECT_TRUE(line.starts_with(" ") || qvamz::mime::IsHeaderFieldLine(line)) << line;
    auto leaves = view.body.Leaves();
    ASSERT_EQ(leaves.size(), 2u);
    EXPECT_EQ(leaves[1]->filename, "a X-Injected: 5.txt");
}

TEST_F(MimeHeaders, FileNamesKeepTheirQuotesAndLetters)
{
    std::vector<std::string> names = {"say \"hi\".txt", "back\\slash.txt",
                                      "\"quoted whole.txt\"", "r\xC3\xA9sum\xC3\xA9.pdf"};
    std::vector<std::string> expected = {"say \"hi\".txt", "back\\slash.txt",
                                         "quoted whole.txt", "r\xC3\xA9sum\xC3\xA9.pdf"};
    for (const std::string &name : names)
        AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, name, "content of " + name);
    GMimeMessageView view = BuildAndParse();

    auto leaves = view.body.Leaves();
    ASSERT_EQ(leaves.size(), names.size() + 1);
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(leaves[i + 1]->filename, expected[i]);
        EXPECT_EQ(leaves[i + 1]->name, expected[i]);
        EXPECT_EQ(leaves[i + 1]->content, "content of " + names[i]);
    }
}

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
    std::string raw = ReadFile(Build(*msg, dir));
    EXPECT_NE(raw.find("\r\nThread-Topic: topic\r\nReferences: <a@x>\r\n\t<b@x>\r\n"
                       "in-reply-to: <b@x>\r\nThread-Index: AQHX\r\n"),
              std::string::npos);
    EXPECT_EQ(raw.find("X-Other"), std::string::npos);
    EXPECT_EQ(raw.find("Received"), std::string::npos);
}

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
    GMimeMessageView view = BuildAndParse(options);

    ASSERT_TRUE(view.parsed);
    EXPECT_EQ(view.subject, "original subject");
    EXPECT_EQ(view.from[0].address, "orig@example.org");
    EXPECT_EQ(view.Header("X-Kept"), "yes continued");
    const std::vector<std::string> lines = HeaderLines(Raw());
    const auto lines_with = [&](const std::string &text, bool at_start) {
        return std::count_if(lines.begin(), lines.end(), [&](const std::string &l) {
            return at_start ? l.starts_with(text) : l.find(text) != l.npos;
        });
    };
    EXPECT_EQ(lines_with("Content-", true), 1); // our own Content-Type only
    EXPECT_EQ(lines_with("charset", false), 0);
    EXPECT_EQ(lines_with("From ", true), 0);
    EXPECT_EQ(view.HeaderCount("not a header"), 0);
    EXPECT_EQ(view.Header("MIME-Version"), "1.0");
    EXPECT_EQ(view.body.type, "multipart/alternative");
    ASSERT_EQ(view.body.Leaves().size(), 1u);
    EXPECT_EQ(view.body.Leaves()[0]->content, "body\r\n");
}

} // namespace
} // namespace mwtest
