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

// The record the builder is expected to give back.  Besides what the
// builder drops on purpose (a plain-text body beside an HTML body), the
// reader adds two things on every read: it keeps the line end that belongs
// to the boundary after a text body, and it puts a META line declaring the
// charset in front of an HTML body.
void Expect(RecordSnapshot &snap)
{
    bool has_html = std::any_of(snap.parts.begin(), snap.parts.end(),
                                [](const auto &p) { return p.type == QV_PART_HTML_BODY; });
    std::erase_if(snap.parts, [&](const auto &p) {
        return has_html && p.type == QV_PART_TEXT_BODY;
    });
    for (auto &part : snap.parts) {
        if (part.type == QV_PART_TEXT_BODY)
            part.bytes += "\r\n";
        if (part.type == QV_PART_HTML_BODY)
            part.bytes = part.bytes.substr(0, part.bytes.find('\n') + 1) + part.bytes;
        if (part.message)
            Expect(*part.message);
    }
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
    int result = qvamz::mailread::Parse_RFC822_Msg(in, &msg, dir.prefix().c_str(), "", 1);
    std::fclose(in);
    return result;
}

class RoundTrip : public ::testing::TestWithParam<const char *> {
  protected:
    void SetUp() override { qvamz::ResetSessionState(); }
};

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
    Expect(*before);

    Record second = NewRecord(2);
    ASSERT_EQ(Parse(built, *second, dir), 0);
    auto after = Snapshot(*second, dir.prefix());
    ExpectSameRecord(*before, *after, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Messages, RoundTrip,
                         ::testing::Values("plain.eml", "alternative.eml", "related.eml",
                                           "nested.eml"),
                         [](const auto &info) {
                             std::string name = info.param;
                             return name.substr(0, name.find('.'));
                         });

} // namespace
} // namespace mwtest
