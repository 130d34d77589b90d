// Read, build, read again: a message parsed by the reader, built by the
// MIME builder and parsed again gives the same record.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>

#include "gmime_view.hpp"
#include "mailread/rfc822_parser.hpp"
#include "mailwrite_test_support.hpp"

namespace mwtest {
namespace {

// What the builder carries from a record into the message text.
struct RecordSnapshot {
    std::string from_name, from_address, subject, message_id;
    qv_filetime date = 0;
    int priority = 0, importance = 0, unread = 0;
    std::vector<std::string> recipients; // "kind|name|address"
    struct Part {
        int type = 0;
        std::string name, content_id, bytes;
        std::shared_ptr<RecordSnapshot> message; // type 14
    };
    std::vector<Part> parts; // the header block (type 11) left out: it is regenerated
};

std::shared_ptr<RecordSnapshot> Snapshot(const qv_message &msg, const std::string &work_dir)
{
    auto snap = std::make_shared<RecordSnapshot>();
    snap->from_name = msg.from_name;
    snap->from_address = msg.from_address;
    snap->subject = msg.subject;
    snap->message_id = msg.message_id;
    snap->date = msg.date;
    snap->priority = msg.priority;
    snap->importance = msg.importance;
    snap->unread = msg.unread;
    for (int i = 0; i < msg.recipient_count; ++i) {
        const qv_recipient &r = *msg.recipients[i];
        int kind = r.kind == QV_RECIP_CC || r.kind == QV_RECIP_BCC ? r.kind : QV_RECIP_TO;
        snap->recipients.push_back(std::to_string(kind) + "|" + r.name + "|" + r.address);
    }
    for (int i = 0; i < msg.part_count; ++i) {
        const qv_part &p = *msg.parts[i];
        if (p.part_type == QV_PART_HEADERS)
            continue;
        RecordSnapshot::Part part{p.part_type, p.file_name, p.content_id,
                                  ReadFile(PartPath(work_dir, msg, i)), nullptr};
        if (p.part_type == QV_PART_EMBEDDED_MSG && p.sub_message)
            part.message = Snapshot(*p.sub_message, work_dir);
        snap->parts.push_back(std::move(part));
    }
    return snap;
}

void ExpectSameRecord(const RecordSnapshot &a, const RecordSnapshot &b, const std::string &where)
{
    SCOPED_TRACE(where);
    EXPECT_EQ(a.from_name, b.from_name);
    EXPECT_EQ(a.from_address, b.from_address);
    EXPECT_EQ(a.subject, b.subject);
    EXPECT_EQ(a.message_id, b.message_id);
    EXPECT_EQ(a.date, b.date);
    EXPECT_EQ(a.priority, b.priority);
    EXPECT_EQ(a.importance, b.importance);
    EXPECT_EQ(a.unread, b.unread);
    EXPECT_EQ(a.recipients, b.recipients);
    ASSERT_EQ(a.parts.size(), b.parts.size());
    for (std::size_t i = 0; i < a.parts.size(); ++i) {
        SCOPED_TRACE("part " + std::to_string(i) + " " + a.parts[i].name);
        EXPECT_EQ(a.parts[i].type, b.parts[i].type);
        EXPECT_EQ(a.parts[i].name, b.parts[i].name);
        EXPECT_EQ(a.parts[i].content_id, b.parts[i].content_id);
        EXPECT_EQ(a.parts[i].bytes, b.parts[i].bytes);
        ASSERT_EQ(a.parts[i].message == nullptr, b.parts[i].message == nullptr);
        if (a.parts[i].message)
            ExpectSameRecord(*a.parts[i].message, *b.parts[i].message, where + " > embedded");
    }
}

int Parse(const std::string &path, qv_message &msg, const WorkDir &dir)
{
    std::FILE *in = std::fopen(path.c_str(), "rb");
    EXPECT_NE(in, nullptr) << path;
    if (!in)
        return -1;
    msg.codepage = 0; // as the host clears a record before each item
    int result = qvamz::mailread::Parse_RFC822_Msg(in, &msg, dir.prefix().c_str(), "", 1);
    std::fclose(in);
    return result;
}

class RoundTrip : public ::testing::TestWithParam<const char *> {};

TEST_P(RoundTrip, ParseBuildParseGivesTheSameRecord)
{
    WorkDir dir;
    std::string source = std::string(QV_TEST_DATA_DIR) + "/mailwrite/" + GetParam();
    Record first = NewRecord(1);
    ASSERT_EQ(Parse(source, *first, dir), 0);
    auto before = Snapshot(*first, dir.prefix());

    std::string built = Build(*first, dir);
    GMimeMessageView view = ParseWithGMime(built);
    ASSERT_TRUE(view.parsed);
    // Record texts are UTF-8, whatever the source's charset: an independent
    // reader finds the same subject in the built message.
    EXPECT_EQ(view.subject, before->subject);
    // Attachments reach an independent reader byte for byte.
    for (const auto &part : before->parts) {
        if (part.type != QV_PART_ATTACHMENT)
            continue;
        auto leaves = view.body.Leaves();
        auto match = std::find_if(leaves.begin(), leaves.end(),
                                  [&](const MimeNode *n) { return n->filename == part.name; });
        ASSERT_NE(match, leaves.end()) << part.name;
        EXPECT_EQ((*match)->content, part.bytes) << part.name;
    }
    // Nothing changes on the way: a plain-text body beside an HTML body goes
    // as its alternative, the line end before a boundary is not taken into a
    // body, and the charset line the reader puts in front of an HTML body is
    // not sent, so it is not doubled on the next read.

    Record second = NewRecord(2);
    ASSERT_EQ(Parse(built, *second, dir), 0);
    auto after = Snapshot(*second, dir.prefix());
    ExpectSameRecord(*before, *after, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Messages, RoundTrip,
                         ::testing::Values("plain.eml", "alternative.eml", "related.eml",
                                           "nested.eml", "raw_8bit_latin1.eml"),
                         [](const auto &info) {
                             std::string name = info.param;
                             return name.substr(0, name.find('.'));
                         });

// A message attached with an attachment disposition: the reader keeps it
// whole as "Message.eml"; the builder sends it back as an attached message
// (unless a line of it would end one of the builder's own multipart
// levels, when it goes as a file), and its bytes come back unchanged.
std::string AttachedMessageSource(std::string_view inner_body)
{
    return "From: a@example.com\r\nTo: b@example.com\r\nSubject: Fwd: Inner\r\n"
           "Message-ID: <outer@example.com>\r\nDate: Sun, 11 Jan 2026 08:00:00 +0000\r\n"
           "MIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"outer\"\r\n\r\n"
           "--outer\r\nContent-Type: text/plain; charset=\"UTF-8\"\r\n\r\nSee below.\r\n\r\n"
           "--outer\r\nContent-Type: message/rfc822\r\nContent-Disposition: attachment\r\n\r\n"
           "From: c@example.com\r\nSubject: Inner\r\nMIME-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=\"ISO-8859-1\"\r\n"
           "Content-Transfer-Encoding: 8bit\r\n\r\n" +
           std::string(inner_body) + "\r\n--outer--\r\n";
}

std::string AttachedMessageBytes(const RecordSnapshot &snap)
{
    for (const auto &part : snap.parts)
        if (part.type == QV_PART_ATTACHMENT && part.name == "Message.eml")
            return part.bytes;
    ADD_FAILURE() << "no Message.eml part";
    return {};
}

TEST(AttachedMessageFile, GoesBackAsAnAttachedMessageWithItsBytes)
{
    std::string builder_boundary;
    for (bool clashes : {false, true}) {
        SCOPED_TRACE(clashes ? "with a line like a builder boundary" : "plain");
        WorkDir dir;
        std::string inner = "Gr\xFC\xDF aus M\xFCnchen\r\n\r\nlast line\r\n";
        if (clashes)
            inner += "--" + builder_boundary + "\r\n";
        WriteFile(dir.file("source.eml"), AttachedMessageSource(inner));
        Record first = NewRecord(1);
        ASSERT_EQ(Parse(dir.file("source.eml"), *first, dir), 0);
        auto before = Snapshot(*first, dir.prefix());
        const std::string bytes = AttachedMessageBytes(*before);
        EXPECT_NE(bytes.find("Subject: Inner\r\n"), std::string::npos);

        std::string built = Build(*first, dir);
        GMimeMessageView view = ParseWithGMime(built);
        ASSERT_TRUE(view.parsed);
        ASSERT_EQ(view.body.children.size(), 2u);
        const MimeNode &attached = view.body.children[1];
        if (clashes) {
            EXPECT_EQ(attached.filename, "Message.eml");
            EXPECT_EQ(attached.content, bytes);
        } else {
            EXPECT_EQ(attached.type, "message/rfc822");
            EXPECT_EQ(attached.subject, "Inner");
            builder_boundary = view.body.boundary;
        }

        Record second = NewRecord(2);
        ASSERT_EQ(Parse(built, *second, dir), 0);
        auto after = Snapshot(*second, dir.prefix());
        EXPECT_EQ(AttachedMessageBytes(*after), bytes);
        ExpectSameRecord(*before, *after, "attached message");
    }
}

// File attachments go with the type their extension names and come back
// from the reader as the same attachments, byte for byte (a text file's
// last line end included).
TEST(FileAttachments, TypedByExtensionAndReadBackUnchanged)
{
    const struct {
        const char *name, *type, *content;
    } cases[] = {
        {"report.pdf", "application/pdf", "%PDF-1.4\n\x01\x02 binary\r\n"},
        {"\xC3\x9C"
         "bersicht.txt",
         "text/plain",
         "\xC3\x9C"
         "bersicht\nZeile 1\n"},
        {"table.XLSX", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet",
         "PK\x03\x04"},
        {"data.unknownext", "application/octet-stream", "raw\r\n\r\n"},
        {"invite.ics", "application/octet-stream", "BEGIN:VCALENDAR\r\n"},
    };
    WorkDir dir;
    Record msg = NewRecord(1);
    SetText(msg->subject, "Files");
    SetText(msg->from_address, "a@example.com");
    msg->date = com_UnixToFileTime(1767225600);
    AddPart(*msg, dir.prefix(), QV_PART_TEXT_BODY, "Message Text", "See the files.\r\n");
    for (const auto &c : cases)
        AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, c.name, c.content);
    auto before = Snapshot(*msg, dir.prefix());

    std::string built = Build(*msg, dir);
    GMimeMessageView view = ParseWithGMime(built);
    ASSERT_TRUE(view.parsed);
    auto leaves = view.body.Leaves();
    for (const auto &c : cases) {
        auto match = std::find_if(leaves.begin(), leaves.end(),
                                  [&](const MimeNode *n) { return n->filename == c.name; });
        ASSERT_NE(match, leaves.end()) << c.name;
        EXPECT_EQ((*match)->type, c.type) << c.name;
        EXPECT_EQ((*match)->content, c.content) << c.name;
    }

    Record second = NewRecord(2);
    ASSERT_EQ(Parse(built, *second, dir), 0);
    auto after = Snapshot(*second, dir.prefix());
    ExpectSameRecord(*before, *after, "file attachments");
}


} // namespace
} // namespace mwtest
