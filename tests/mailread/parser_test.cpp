// Real-shaped messages of tests/data/mailread give the record kept beside
// them in records/ (every field, recipient and part file byte), read at once
// or in ragged small pieces; the rules that depend on the parser's settings
// and filters, and hostile input, on small inline messages.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "mailread/parser_limits.hpp"
#include "parse_fixture.hpp"

namespace {

using mailread_test::ParserTest;
using namespace qvamz::mailread;
using mailread_test::ReadFile;

// A stream that hands stdio between 1 and 7 bytes per read.
struct RaggedSource {
    std::string data;
    std::size_t pos = 0;
    unsigned state = 12345;

    static ssize_t read(void *cookie, char *buf, size_t size)
    {
        auto *s = static_cast<RaggedSource *>(cookie);
        s->state = s->state * 1103515245u + 12345u;
        const std::size_t want = 1 + (s->state >> 16) % 7;
        const std::size_t n = std::min({size, want, s->data.size() - s->pos});
        std::memcpy(buf, s->data.data() + s->pos, n);
        s->pos += n;
        return static_cast<ssize_t>(n);
    }
    static int seek(void *cookie, off64_t *offset, int whence)
    {
        auto *s = static_cast<RaggedSource *>(cookie);
        const off64_t base = whence == SEEK_SET   ? 0
                             : whence == SEEK_CUR ? off64_t(s->pos)
                                                  : off64_t(s->data.size());
        const off64_t target = base + *offset;
        if (target < 0 || target > off64_t(s->data.size()))
            return -1;
        s->pos = static_cast<std::size_t>(target);
        *offset = target;
        return 0;
    }
    static int close(void *) { return 0; }
};

class Streaming : public ParserTest {
  protected:
    // Everything the parser produced: fields, recipients, parts and bytes.
    std::string Fingerprint(const qv_message *m) const
    {
        std::ostringstream out;
        // A date the parser made up must be the time of the parse.
        out << "subject " << m->subject << "\nfrom " << m->from_name << " <" << m->from_address
            << ">\nmessage-id " << m->message_id << "\ndelivered-to " << m->delivered_to << "\ndate "
            << (!m->date_missing ? std::to_string(m->date) : m->date >= started_ ? "now" : "past")
            << " missing " << m->date_missing << "\ncodepage " << m->codepage << ' '
            << m->message_charset << "\nunread " << m->unread << " replied " << m->replied
            << " forwarded " << m->forwarded << " flag " << m->flag_status << " priority "
            << m->priority << " importance " << m->importance << '\n';
        for (int i = 0; i < m->recipient_count; ++i)
            out << "recipient " << m->recipients[i]->kind << " [" << m->recipients[i]->name
                << "] <" << m->recipients[i]->address << ">\n";
        for (int i = 0; i < m->part_count; ++i) {
            const qv_part *p = m->parts[i];
            out << "part " << i << " type " << p->part_type << " [" << p->file_name << "] cid ["
                << p->content_id << "] charset [" << p->charset << "] size " << p->size << '\n';
            if (p->part_type == QV_PART_EMBEDDED_MSG && p->sub_message)
                out << "{\n" << Fingerprint(p->sub_message) << "}\n";
            else
                out << Part(i, m) << "\n--\n";
        }
        return out.str();
    }

    std::string ParseWhole(const std::string &bytes)
    {
        EXPECT_EQ(ParseText(bytes), 0);
        return Done();
    }

    std::string ParseRagged(const std::string &bytes)
    {
        RaggedSource source{bytes};
        FILE *f = fopencookie(&source, "r",
                              cookie_io_functions_t{RaggedSource::read, nullptr, RaggedSource::seek,
                                                    RaggedSource::close});
        char tiny[5];
        setvbuf(f, tiny, _IOFBF, sizeof tiny);
        EXPECT_EQ(Parse_RFC822_Msg(f, msg.get(), dir().c_str(), "", 1), 0);
        std::fclose(f);
        return Done();
    }

    std::string Done()
    {
        const std::string print = qvtest::escaped_bytes(Fingerprint(msg.get()));
        Reset();
        return print;
    }

    const qv_filetime started_ = com_FileTimeNow();
};

// QV_UPDATE_RECORDS=1 writes the records anew (check the diff before
// committing it).
TEST_F(Streaming, MessageFilesGiveTheirRecordReadWholeOrRagged)
{
    const std::filesystem::path data = mailread_test::data_file("");
    int files = 0;
    // rules/: small messages for one rule each (the sandbox's MIME rewrite
    // test takes the files at the top as its corpus).
    std::vector<std::filesystem::directory_entry> entries;
    for (const auto &folder : {data, data / "rules"})
        for (const auto &entry : std::filesystem::directory_iterator(folder))
            entries.push_back(entry);
    for (const auto &entry : entries) {
        const std::string name = entry.path().stem().string();
        if (name == "deleted" || entry.path().extension() != ".eml")
            continue;
        SCOPED_TRACE(name);
        ++files;
        const std::string bytes = ReadFile(entry.path().string());
        const std::string whole = ParseWhole(bytes);
        const std::string record = (data / "records" / (name + ".record")).string();
        if (std::getenv("QV_UPDATE_RECORDS"))
            mailread_test::WriteFile(record, whole);
        EXPECT_EQ(whole, ReadFile(record));
        EXPECT_EQ(ParseRagged(bytes), whole);
    }
    EXPECT_EQ(files, 35);
    // A message marked deleted in its mbox status is no message.
    EXPECT_EQ(ParseText(ReadFile((data / "deleted.eml").string())), 1);
}

// The rules that depend on the parser's settings and filters, on small
// inline messages.
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

// Hostile and broken input: nesting, part and recipient counts, names that
// look like paths, lines of any length.  Limits hold, nothing crashes, and
// no file is ever named by a header.
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
    EXPECT_EQ(ParseText(text), kParseRefused);
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
    EXPECT_EQ(Parse_RFC822_Msg(static_cast<FILE *>(nullptr), msg.get(), "", "", 1), kParseRefused);
    mailread_test::MemoryStream in("Subject: x\n\nbody\n");
    EXPECT_EQ(Parse_RFC822_Msg(in.file, nullptr, dir().c_str(), "", 1), kParseRefused);
}

} // namespace
