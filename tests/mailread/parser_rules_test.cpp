// The parser's rules one by one, on small inline messages.
#include <gtest/gtest.h>

#include <string>

#include "parse_fixture.hpp"

namespace {

using mailread_test::ParserTest;
using mailread_test::filetime_utc;


std::string multipart(const std::string &parts)
{
    return "From: a@example.com\nDate: Tue, 1 Dec 2026 10:00:00 +0000\nSubject: s\n"
           "Content-Type: multipart/mixed; boundary=\"X\"\n\n" + parts + "--X--\n";
}

TEST_F(ParserTest, FlagHeaders)
{
    const struct {
        const char *headers;
        int unread, replied, forwarded, flag, priority, importance;
    } cases[] = {
        {"X-Mozilla-Status: 0000\n", 1, 0, 0, 0, 1, 1},
        {"X-Mozilla-Status: 0001\n", 0, 0, 0, 0, 1, 1},
        {"X-PMFLAGS: 128\n", 0, 0, 0, 0, 1, 1},
        {"X-PMFLAGS: 3145728\n", 1, 1, 1, 0, 1, 1},
        {"Priority: urgent\nImportance: Low\n", 0, 0, 0, 0, 2, 0},
        {"X-Priority: 5 (Lowest)\n", 0, 0, 0, 0, 0, 1},
        {"X-Message-Flag: Follow Up\n", 0, 0, 0, 2, 1, 1},
        {"X-Message-Flag: Follow Up now\n", 0, 0, 0, 0, 1, 1},
        {"X-Message-Flag: Flag for follow Up later\n", 0, 0, 0, 2, 1, 1},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(ParseText(std::string("From: a@x\n") + c.headers + "\nbody\n"), 0) << c.headers;
        EXPECT_EQ(msg->unread, c.unread) << c.headers;
        EXPECT_EQ(msg->replied, c.replied) << c.headers;
        EXPECT_EQ(msg->forwarded, c.forwarded) << c.headers;
        EXPECT_EQ(msg->flag_status, c.flag) << c.headers;
        EXPECT_EQ(msg->priority, c.priority) << c.headers;
        EXPECT_EQ(msg->importance, c.importance) << c.headers;
        Reset();
    }
}

TEST_F(ParserTest, TypeCodesFromEitherHeaderOrder)
{
    const std::string text = multipart(
        "--X\nContent-Transfer-Encoding: base64\nContent-Type: text/html\n\nPGI+aGk8L2I+\n"
        "--X\nContent-Type: text/plain\nContent-Transfer-Encoding: base64\n\naGVsbG8=\n"
        "--X\nContent-Transfer-Encoding: base64\nContent-Type: text/plain\n\nc2Vjb25k\n"
        "--X\nContent-Type: image/png\n\nPNGDATA\n"
        "--X\nContent-Disposition: inline\n\ninline <text> & more\n"
        "--X\nContent-Type: text/plain\n\n"
        "--X\nContent-Type: text/plain\n\n\n\n");
    ASSERT_EQ(ParseText(text), 0);
    ASSERT_EQ(msg->part_count, 7);
    EXPECT_EQ(msg->parts[1]->part_type, QV_PART_HTML_BODY);
    EXPECT_EQ(Part(1).substr(Part(1).find('\n') + 1), "<b>hi</b>");
    EXPECT_EQ(msg->parts[2]->part_type, QV_PART_TEXT_BODY);
    EXPECT_EQ(Part(2), "hello");
    EXPECT_EQ(msg->parts[3]->part_type, QV_PART_INLINE_TEXT) << "only the first text is the body";
    EXPECT_EQ(msg->parts[4]->part_type, QV_PART_ATTACHMENT);
    EXPECT_STREQ(msg->parts[4]->file_name, "embedded image.png");
    // Inline text in an HTML message: preformatted, markup escaped.
    EXPECT_EQ(msg->parts[5]->part_type, QV_PART_HTML_BODY);
    EXPECT_STREQ(msg->parts[5]->file_name, "Inline.txt");
    EXPECT_EQ(Part(5), "<HR><pre>\ninline &lt;text&gt; &amp; more\n</pre>\n");
    EXPECT_EQ(msg->parts[5]->size, Part(5).size());
    // An empty part (the line end before a boundary is the boundary's)
    // takes no number; one holding just a line end is 13.
    EXPECT_EQ(msg->parts[6]->part_type, QV_PART_NOT_WRITTEN);
}

TEST_F(ParserTest, SinglePartHtmlInBase64EitherOrderAndItsMetaCharset)
{
    // "<meta http-equiv=x content='charset=utf-16'><p>x</p>" in base64
    const std::string body =
        "PG1ldGEgaHR0cC1lcXVpdj14IGNvbnRlbnQ9J2NoYXJzZXQ9dXRmLTE2Jz48cD54PC9wPg==\n";
    for (const char *headers :
         {"Content-Transfer-Encoding: base64\nContent-Type: text/html; charset=koi8-r\n",
          "Content-Type: text/html; charset=koi8-r\nContent-Transfer-Encoding: base64\n"}) {
        ASSERT_EQ(ParseText(std::string("From: a@x\n") + headers + "\n" + body), 0) << headers;
        ASSERT_EQ(msg->part_count, 2);
        EXPECT_EQ(msg->parts[1]->part_type, QV_PART_HTML_BODY) << headers;
        EXPECT_STREQ(msg->parts[1]->charset, "koi8-r") << "a utf-16 meta does not win";
        EXPECT_EQ(Part(1),
                  "<html><META http-equiv=\"Content-Type\" content=\"text/html; charset=koi8-r\">\n"
                  "<meta http-equiv=x content='charset=utf-16'><p>x</p>");
        Reset();
    }
}

TEST_F(ParserTest, ContentIdsOfAttachmentsAreDroppedExceptZimbras)
{
    ASSERT_EQ(ParseText(multipart(
                  "--X\nContent-Type: image/gif\nContent-ID: <a@zimbra>\nContent-Disposition: "
                  "attachment\n\nGIF\n"
                  "--X\nContent-Type: image/gif\nContent-ID: <b@example>\nContent-Disposition: "
                  "attachment\n\nGIF\n"
                  "--X\nContent-Type: image/gif\nContent-ID:<c@example>\nContent-Disposition: "
                  "inline\n\nGIF\n")),
              0);
    ASSERT_EQ(msg->part_count, 4);
    EXPECT_STREQ(msg->parts[1]->content_id, "a@zimbra");
    EXPECT_STREQ(msg->parts[2]->content_id, "");
    EXPECT_STREQ(msg->parts[3]->content_id, "c@example");
    EXPECT_STREQ(msg->parts[3]->file_name, "embedded image.gif");
}

TEST_F(ParserTest, LongSubjectBecomesTheBodyBrokenIntoLines)
{
    std::string subject;
    for (int i = 0; i < 12; ++i)
        subject += "lorem ipsum dolor sit amet ";
    ASSERT_EQ(ParseText("From: a@x\nSubject: " + subject + "\nContent-Type: multipart/mixed; "
                        "boundary=q\n\n--q\nContent-Type: image/png\n\nPNG\n--q--\n"),
              0);
    subject.pop_back(); // the trailing blank is trimmed from the subject
    EXPECT_EQ(std::string(msg->subject), subject);
    ASSERT_EQ(msg->part_count, 3);
    EXPECT_EQ(msg->parts[2]->part_type, QV_PART_TEXT_BODY);
    EXPECT_STREQ(msg->parts[2]->file_name, "Message Text");
    // Broken at the first blank after 65 characters.
    EXPECT_EQ(Part(2), "lorem ipsum dolor sit amet lorem ipsum dolor sit amet lorem ipsum dolor\r\n"
                       "sit amet lorem ipsum dolor sit amet lorem ipsum dolor sit amet lorem\r\n"
                       "ipsum dolor sit amet lorem ipsum dolor sit amet lorem ipsum dolor sit\r\n"
                       "amet lorem ipsum dolor sit amet lorem ipsum dolor sit amet lorem ipsum\r\n"
                       "dolor sit amet lorem ipsum dolor sit amet");
    EXPECT_EQ(msg->parts[2]->size, Part(2).size());
}

TEST_F(ParserTest, SkippedSubjectsAndSubjectLog)
{
    settings.log_subjects = true;
    qvcom_set_skip_subjects("weekly digest");
    EXPECT_EQ(
        ParseText(
            "From: a@x\nDate: Tue, 1 Dec 2026 10:00:00 +0000\nSubject: Weekly Digest 12\n\nb\n"),
        1);
    Reset();
    // The rule also applies when the subject comes after the date, or with
    // no date at all (logged at the end of the headers).
    EXPECT_EQ(ParseText("From: a@x\nSubject: weekly digest\n\nb\n"), 1);
    Reset();
    EXPECT_EQ(ParseText("From: a@x\nSubject: other\n\nb\n"), 0);
    qvcom_reset_filters();
}

TEST_F(ParserTest, RawPassThroughKeepsTheMessageAsReceived)
{
    settings.raw_passthrough = true;
    const std::string message = "From: a@x\r\nSubject: raw\r\n\r\nline\tone\r\n";
    ASSERT_EQ(ParseText("\r\n\r\n" + message), 0);
    ASSERT_EQ(msg->part_count, 3);
    EXPECT_STREQ(msg->parts[1]->file_name, "RAWRFC.dat");
    EXPECT_EQ(msg->parts[1]->part_type, QV_PART_ATTACHMENT);
    EXPECT_EQ(Part(1), message);
    EXPECT_STREQ(msg->subject, "raw") << "the headers are read after the copy";
    EXPECT_EQ(Part(2), "line one\r\n");
}

TEST_F(ParserTest, CalendarPartsDroppedWithD142)
{
    const std::string text =
        multipart("--X\nContent-Type: text/plain\n\ninvite\n"
                  "--X\nContent-Type: text/calendar; method=REQUEST\n\nBEGIN:VCALENDAR\n");
    ASSERT_EQ(ParseText(text), 0);
    ASSERT_EQ(msg->part_count, 3);
    EXPECT_STREQ(msg->parts[2]->file_name, "s.ics");
    Reset();
    settings.drop_calendar_parts = true;
    ASSERT_EQ(ParseText(text), 0);
    EXPECT_EQ(msg->part_count, 2);
    EXPECT_EQ(WorkFiles().size(), 2u) << "the dropped part leaves no file";
    Reset();
    EXPECT_EQ(ParseText("From: a@x\nContent-Type: text/calendar\n\nBEGIN:VCALENDAR\n"), 1);
}

TEST_F(ParserTest, StickyNoteTextComesOutOfItsVNote)
{
    ASSERT_EQ(ParseText("Subject: note\nContent-Type: text/x-stickynote\n\nBEGIN:VNOTE\n"
                        "VERSION:1.1\nBODY:first\\nsecond line\n  continued\nEND:VNOTE\n"),
              0);
    ASSERT_EQ(msg->part_count, 2);
    EXPECT_EQ(Part(1), "first\r\nsecond line continued");
    EXPECT_EQ(msg->parts[1]->size, Part(1).size());
    EXPECT_STREQ(msg->from_name, "Sticky Note");
}

TEST_F(ParserTest, HeaderFieldsAndDateFallbacks)
{
    ASSERT_EQ(ParseText("Received: from x by y;\n Wed, 2 Dec 2026 07:00:00 +0000\n"
                        "Delivered-To: prefix:route-user@example.com\n"
                        "From: \"Grüße Team\" <team@example.com>\n"
                        "Subject: Grüße\n\n<b>body</b>\n"),
              0);
    EXPECT_EQ(msg->date, filetime_utc(2026, 12, 2, 7, 0, 0)) << "the last Received date";
    EXPECT_STREQ(msg->delivered_to, "user@example.com");
    EXPECT_STREQ(msg->subject, "Gr\xC3\xBC\xC3\x9F" "e") << "raw UTF-8 stays UTF-8";
    EXPECT_STREQ(msg->from_name, "Gr\xC3\xBC\xC3\x9F" "e Team");
    Reset();

    // A body that starts without a blank line after the headers.
    ASSERT_EQ(ParseText("From: a@x\nMessage Sent: Thursday, December 3, 2026 4:05 PM\n"
                        "<!DOCTYPE html>\n<html>hi</html>\n"),
              0);
    EXPECT_EQ(msg->date, filetime_utc(2026, 12, 3, 16, 5, 0));
    ASSERT_EQ(msg->part_count, 2);
    EXPECT_EQ(Part(1), "<!DOCTYPE html>\r\n<html>hi</html>\r\n");
    EXPECT_EQ(Part(0), "From: a@x\nMessage Sent: Thursday, December 3, 2026 4:05 PM\n");
}

} // namespace
