// Read, build, read again: a message parsed by the reader, built by the
// MIME builder and parsed again gives the same record.  (Whole messages of
// every kind make the same trip in tests/differential.)
#include <gtest/gtest.h>

#include <sstream>

#include "common/unique_file.hpp"
#include "gmime_view.hpp"
#include "mailread/rfc822_parser.hpp"
#include "mailwrite_test_support.hpp"

namespace mwtest {
namespace {

// What the builder carries from a record into the message text, as one
// text: fields, recipients (kinds other than Cc and Bcc go as To), and the
// parts with their bytes; the header block (type 11) is left out, being
// regenerated.  Taken before a build, which removes the part files.
std::string Snapshot(const qv_message &msg, const std::string &work_dir)
{
    std::ostringstream out;
    out << msg.from_name << '|' << msg.from_address << '|' << msg.subject << '|'
        << msg.message_id << '|' << msg.date << '|' << msg.priority << '|' << msg.importance
        << '|' << msg.unread << '\n';
    for (int i = 0; i < msg.recipient_count; ++i) {
        const qv_recipient &r = *msg.recipients[i];
        const int kind = r.kind == QV_RECIP_CC || r.kind == QV_RECIP_BCC ? r.kind : QV_RECIP_TO;
        out << "recipient " << kind << '|' << r.name << '|' << r.address << '\n';
    }
    for (int i = 0; i < msg.part_count; ++i) {
        const qv_part &p = *msg.parts[i];
        if (p.part_type == QV_PART_HEADERS)
            continue;
        out << "part " << p.part_type << '|' << p.file_name << '|' << p.content_id << '\n';
        if (p.part_type == QV_PART_EMBEDDED_MSG && p.sub_message)
            out << "{\n" << Snapshot(*p.sub_message, work_dir) << "}\n";
        else
            out << ReadFile(PartPath(work_dir, msg, i)) << "\n";
    }
    return out.str();
}

int Parse(const std::string &path, qv_message &msg, const WorkDir &dir)
{
    const qvcommon::UniqueFile in = qvcommon::OpenFile(path, "rb");
    msg.codepage = 0; // as the host clears a record before each item
    return in ? qvamz::mailread::Parse_RFC822_Msg(in.get(), &msg, dir.prefix().c_str(), "", 1) : -1;
}

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

std::string AttachedMessageBytes(const qv_message &msg, const WorkDir &dir)
{
    for (int i = 0; i < msg.part_count; ++i)
        if (msg.parts[i]->part_type == QV_PART_ATTACHMENT &&
            std::string(msg.parts[i]->file_name) == "Message.eml")
            return ReadFile(PartPath(dir.prefix(), msg, i));
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
        const std::string before = Snapshot(*first, dir.prefix());
        const std::string bytes = AttachedMessageBytes(*first, dir);
        EXPECT_NE(bytes.find("Subject: Inner\r\n"), std::string::npos);

        const GMimeMessageView view = ExpectBuiltAsRecorded(
            clashes ? "attached_message_as_file" : "attached_message", *first, dir, TestOptions());
        builder_boundary = view.body.boundary;

        Record second = NewRecord(2);
        ASSERT_EQ(Parse(dir.file("built.eml"), *second, dir), 0);
        EXPECT_EQ(AttachedMessageBytes(*second, dir), bytes);
        EXPECT_EQ(Snapshot(*second, dir.prefix()), before);
    }
}

// File attachments go with the type their extension names and come back
// from the reader as the same attachments, byte for byte (a text file's
// last line end included).
TEST(FileAttachments, TypedByExtensionAndReadBackUnchanged)
{
    // Their types are in the record: pdf, text, xlsx, and octet-stream for
    // an unknown extension and for a calendar file.
    const struct {
        const char *name, *content;
    } cases[] = {
        {"report.pdf", "%PDF-1.4\n\x01\x02 binary\r\n"},
        {"\xC3\x9C" "bersicht.txt", "\xC3\x9C" "bersicht\nZeile 1\n"},
        {"table.XLSX", "PK\x03\x04"},
        {"data.unknownext", "raw\r\n\r\n"},
        {"invite.ics", "BEGIN:VCALENDAR\r\n"},
    };
    WorkDir dir;
    Record msg = NewRecord(1);
    set_text(msg->subject, "Files");
    set_text(msg->from_address, "a@example.com");
    msg->date = com_UnixToFileTime(1767225600);
    AddPart(*msg, dir.prefix(), QV_PART_TEXT_BODY, "Message Text", "See the files.\r\n");
    for (const auto &c : cases)
        AddPart(*msg, dir.prefix(), QV_PART_ATTACHMENT, c.name, c.content);
    const std::string before = Snapshot(*msg, dir.prefix());

    ExpectBuiltAsRecorded("file_attachments", *msg, dir, TestOptions());
    Record second = NewRecord(2);
    ASSERT_EQ(Parse(dir.file("built.eml"), *second, dir), 0);
    EXPECT_EQ(Snapshot(*second, dir.prefix()), before);
}


} // namespace
} // namespace mwtest
