// The parser reads a stream: the same message read in ragged small pieces
// gives the same record and files as read at once, and a body far larger
// than any buffer comes out byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>

#include "parse_fixture.hpp"

namespace {

using mailread_test::ParserTest;
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
    // Everything the parser produced, as text: fields, parts, file bytes.
    std::string Fingerprint(const qv_message *m, int depth = 0) const
    {
        std::ostringstream out;
        // A date the parser made up is the time of the parse.
        out << m->subject << '|' << m->from_name << '|' << m->from_address << '|'
            << (m->date_missing ? 0 : m->date) << '|' << m->date_missing << '|' << m->codepage
            << '|' << m->message_charset << '|' << m->unread << '|' << m->replied << '|'
            << m->forwarded << '|' << m->priority << '|' << m->importance << '\n';
        for (int i = 0; i < m->recipient_count; ++i)
            out << m->recipients[i]->kind << ':' << m->recipients[i]->name << ':'
                << m->recipients[i]->address << '\n';
        for (int i = 0; i < m->part_count; ++i) {
            const qv_part *p = m->parts[i];
            out << "part " << i << ' ' << p->part_type << ' ' << p->file_name << ' '
                << p->content_id << ' ' << p->charset << ' ' << p->size << '\n';
            if (p->part_type == QV_PART_EMBEDDED_MSG && p->sub_message)
                out << Fingerprint(p->sub_message, depth + 1);
            else
                out << Part(i, m) << '\n';
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
        EXPECT_EQ(qvamz::mailread::Parse_RFC822_Msg(f, msg.get(), dir().c_str(), "", 1), 0);
        std::fclose(f);
        return Done();
    }

    std::string Done()
    {
        const std::string print = Fingerprint(msg.get());
        Reset();
        return print;
    }
};

TEST_F(Streaming, RaggedReadsGiveTheSameRecordAsOneRead)
{
    for (const auto &entry : std::filesystem::directory_iterator(mailread_test::data_file(""))) {
        const std::string name = entry.path().filename().string();
        if (name == "deleted.eml" || entry.path().extension() != ".eml")
            continue;
        const std::string bytes = ReadFile(entry.path().string());
        const std::string whole = ParseWhole(bytes);
        EXPECT_EQ(ParseRagged(bytes), whole) << name;
        EXPECT_GT(whole.size(), 100u) << name;
    }
}

TEST_F(Streaming, TwentyMegabyteAttachmentComesOutWhole)
{
    const std::string payload = qvtest::sample_bytes(20 * 1024 * 1024 + 7);
    // Once in 76-character lines, once as a single line of 28 MB.
    for (std::size_t line_length : {std::size_t(76), std::size_t(0)}) {
        const std::string message =
            "From: a@example.com\r\nDate: Tue, 1 Dec 2026 10:00:00 +0000\r\n"
            "Subject: big\r\nContent-Type: multipart/mixed; boundary=\"B\"\r\n\r\n"
            "--B\r\nContent-Type: text/plain\r\n\r\nsee attached\r\n"
            "--B\r\nContent-Type: application/octet-stream; name=\"big.bin\"\r\n"
            "Content-Transfer-Encoding: base64\r\n\r\n" +
            qvtest::base64_encode(payload, line_length) + "\r\n--B--\r\n";
        const std::string path = dir() + "big.eml";
        mailread_test::WriteFile(path, message);
        FILE *f = std::fopen(path.c_str(), "rb");
        ASSERT_EQ(qvamz::mailread::Parse_RFC822_Msg(f, msg.get(), dir().c_str(), "", 1), 0);
        std::fclose(f);
        ASSERT_EQ(msg->part_count, 3);
        EXPECT_EQ(msg->parts[2]->part_type, QV_PART_ATTACHMENT);
        EXPECT_STREQ(msg->parts[2]->file_name, "big.bin");
        EXPECT_EQ(msg->parts[2]->size, payload.size());
        EXPECT_TRUE(Part(2) == payload)
            << "attachment bytes differ (line length " << line_length << ")";
        Reset();
        std::remove(path.c_str());
    }
}

} // namespace
