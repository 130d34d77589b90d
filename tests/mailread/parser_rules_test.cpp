// The rules that depend on the parser's settings and filters, on small
// inline messages; what plain messages become is kept in the records of
// tests/data/mailread (streaming_test.cpp).
#include <gtest/gtest.h>

#include <string>

#include "parse_fixture.hpp"

namespace {

using mailread_test::ParserTest;

std::string multipart(const std::string &parts)
{
    return "From: a@example.com\nDate: Tue, 1 Dec 2026 10:00:00 +0000\nSubject: s\n"
           "Content-Type: multipart/mixed; boundary=\"X\"\n\n" + parts + "--X--\n";
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

} // namespace
