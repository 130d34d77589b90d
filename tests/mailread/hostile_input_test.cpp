// Hostile and broken input: nesting, part and recipient counts, names that
// look like paths, lines of any length.  Limits hold, nothing crashes, and
// no file is ever named by a header.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "mailread/parser_limits.hpp"
#include "parse_fixture.hpp"

namespace {

using mailread_test::ParserTest;
using namespace qvamz::mailread;

// Only part files ever appear in the working directory.
void expect_only_part_files(const std::set<std::string> &files)
{
    for (const std::string &name : files)
        EXPECT_TRUE(std::regex_match(name, std::regex("PRT[0-9]{5,}\\.TMP"))) << name;
}

TEST_F(ParserTest, ThirtyNestedMessagesAreReadTheThirtyFirstRefused)
{
    std::string text;
    for (int level = 0; level <= kMaxNesting + 1; ++level)
        text += "From: level" + std::to_string(level) + "@example.com\nSubject: level " +
                std::to_string(level) + "\nContent-Type: message/rfc822\n\n";
    text += "From: innermost@example.com\n\nbody\n";
    EXPECT_EQ(ParseText(text), 0);
    int levels_read = 0;
    const qv_message *m = msg.get();
    while (m && m->part_count > 0) {
        EXPECT_EQ(std::string(m->subject), "level " + std::to_string(levels_read));
        ++levels_read;
        m = m->parts[m->part_count - 1]->sub_message;
    }
    EXPECT_EQ(levels_read, kMaxNesting + 1) << "the top and 30 embedded levels";
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->part_count, 0) << "the 31st embedded level is refused";
}

TEST_F(ParserTest, DeepNestingInsideMultipartsIsRefusedWhole)
{
    std::string text = "From: a@example.com\nContent-Type: multipart/mixed; boundary=b0\n\n";
    for (int level = 0; level <= kMaxNesting + 1; ++level)
        text += "--b" + std::to_string(level) + "\nContent-Type: message/rfc822\n\nSubject: x\n"
                "Content-Type: multipart/mixed; boundary=b" + std::to_string(level + 1) + "\n\n";
    EXPECT_EQ(ParseText(text), qvamz::mailread::kParseRefused);
}

TEST_F(ParserTest, MultipartsNestedBeyondTheLimitStayOneAttachment)
{
    const int depth = 200;
    std::string text = "From: a@example.com\nContent-Type: multipart/mixed; boundary=m0\n\n";
    for (int level = 0; level < depth; ++level)
        text += "--m" + std::to_string(level) + "\nContent-Type: multipart/mixed; boundary=m" +
                std::to_string(level + 1) + "\n\n";
    text += "--m" + std::to_string(depth) + "\nContent-Type: text/plain\n\ndeep text\n";
    for (int level = depth; level >= 0; --level)
        text += "--m" + std::to_string(level) + "--\n";
    ASSERT_EQ(ParseText(text), 0);
    ASSERT_EQ(msg->part_count, 2);
    EXPECT_EQ(msg->parts[1]->part_type, QV_PART_ATTACHMENT);
    const std::string kept = Part(1);
    EXPECT_NE(kept.find("deep text"), std::string::npos);
    EXPECT_NE(kept.find("--m" + std::to_string(depth) + "--"), std::string::npos);
}

TEST_F(ParserTest, PartsBeyondTheRecordAreReadPastNotWritten)
{
    std::string text = "From: a@example.com\nContent-Type: multipart/mixed; boundary=p\n\n";
    for (int i = 0; i < QV_MAX_PARTS + 100; ++i)
        text += "--p\nContent-Type: application/octet-stream; name=\"f" + std::to_string(i) +
                ".bin\"\n\nbytes " + std::to_string(i) + "\n";
    text += "--p--\n";
    ASSERT_EQ(ParseText(text), 0);
    ASSERT_EQ(msg->part_count, QV_MAX_PARTS);
    EXPECT_STREQ(msg->parts[QV_MAX_PARTS - 1]->file_name, "f498.bin");
    EXPECT_EQ(Part(QV_MAX_PARTS - 1), "bytes 498");
    const auto files = WorkFiles();
    expect_only_part_files(files);
    EXPECT_EQ(files.size(), std::size_t{QV_MAX_PARTS}) << "no file left for a part not stored";
}

TEST_F(ParserTest, RecipientsStopAtTheRecordsCapacity)
{
    std::string to = "To: ";
    for (int i = 0; i < QV_MAX_RECIPIENTS + 10; ++i)
        to += (i ? ", r" : "r") + std::to_string(i) + "@example.com";
    ASSERT_EQ(ParseText("From: a@example.com\n" + to + "\nCc: last@example.com\n\nbody\n"), 0);
    EXPECT_EQ(msg->recipient_count, QV_MAX_RECIPIENTS);
    EXPECT_STREQ(msg->recipients[QV_MAX_RECIPIENTS - 1]->address, "r4999@example.com");
}

TEST_F(ParserTest, HeaderNamesAreDataNeverPaths)
{
    const std::string long_name(2000, 'n');
    const std::string long_id(2000, 'i');
    const std::string text =
        "From: a@example.com\nSubject: names\nContent-Type: multipart/mixed; boundary=x\n\n"
        "--x\nContent-Type: application/octet-stream; name=\"../../../../etc/passwd\"\n\none\n"
        "--x\nContent-Type: text/plain; name=\"/tmp/evil.txt\"\nContent-Disposition: attachment; "
        "filename=\"C:\\\\Windows\\\\evil.exe\"\n\ntwo\n"
        "--x\nContent-Type: image/png; name=\"" + long_name + "\"\nContent-ID: <" + long_id +
        "@x>\n\nthree\n"
        "--x\nContent-Type: message/rfc822\nContent-Disposition: attachment; filename=\"../up.eml\"\n\n"
        "From a@b Sun Dec  6 15:04:05 2026\n\nfour\n"
        "--x--\n";
    ASSERT_EQ(ParseText(text), 0);
    ASSERT_EQ(msg->part_count, 5);
    EXPECT_STREQ(msg->parts[1]->file_name, "../../../../etc/passwd");
    EXPECT_STREQ(msg->parts[2]->file_name, "C:\\\\Windows\\\\evil.exe");
    EXPECT_EQ(std::string(msg->parts[3]->file_name), std::string(kPartNameMax, 'n'));
    EXPECT_EQ(std::string(msg->parts[3]->content_id), std::string(kContentIdMax, 'i'));
    EXPECT_STREQ(msg->parts[4]->file_name, "Message.eml");
    expect_only_part_files(WorkFiles());
    EXPECT_FALSE(std::filesystem::exists(dir() + "../up.eml"));
}

TEST_F(ParserTest, EndlessLinesAndBinaryJunk)
{
    const std::string huge_subject = "Subject: " + std::string(3 * kLineMax, 's') + "\n";
    const std::string junk("\0\xFF\r\r\r\n\t=?x?q?", 13);
    std::string text = "From: a@example.com\n" + huge_subject + "X-Junk: " + junk + "\n\n";
    for (int i = 0; i < 2000; ++i)
        text += junk;
    ASSERT_EQ(ParseText(text), 0);
    EXPECT_EQ(std::string(msg->subject), std::string(kSubjectFieldMax, 's'));
    ASSERT_EQ(msg->part_count, 2);
    EXPECT_EQ(msg->parts[1]->part_type, QV_PART_TEXT_BODY);
    EXPECT_GT(msg->parts[1]->size, 2000u * 10);
}

TEST_F(ParserTest, EmptyInputAndNoRecordOrStream)
{
    EXPECT_EQ(ParseText(""), 1);
    EXPECT_EQ(WorkFiles().size(), 0u) << "nothing is left of a message without headers";
    EXPECT_EQ(ParseText("\r\n\r\n"), 1);
    EXPECT_EQ(qvamz::mailread::Parse_RFC822_Msg(static_cast<FILE *>(nullptr), msg.get(), "", "", 1),
              qvamz::mailread::kParseRefused);
    mailread_test::MemoryStream in("Subject: x\n\nbody\n");
    EXPECT_EQ(qvamz::mailread::Parse_RFC822_Msg(in.file, nullptr, dir().c_str(), "", 1),
              qvamz::mailread::kParseRefused);
}

} // namespace
