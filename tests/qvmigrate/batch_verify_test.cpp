// --verify's comparison of the staged source with the target read back:
// a message missing, one there twice, one with another attachment, one
// only in the target; the same message seen again with a server's finer
// or rounded time is no difference.
#include <gtest/gtest.h>

#include "batch_verify.hpp"
#include "record_archive.hpp"
#include "test_support.hpp"

namespace qvmigrate {
namespace {

using namespace qvm_test;

struct Message {
    const char *id, *subject;
    int minute;
    const char *attachment; // null: none
};

// `fraction`: ticks below the second, which a server may keep or drop.
void write_archive(const fs::path &dir, const std::string &work,
                   const std::vector<Message> &messages, qv_filetime fraction) {
    ArchiveWriter writer(dir, "a@x.org");
    writer.begin_folder("Inbox", "Inbox", 0, static_cast<int>(messages.size()));
    for (const Message &m : messages) {
        Record record = new_record(7);
        set_text(record->message_id, m.id);
        set_text(record->subject, m.subject);
        set_text(record->from_address, "Sender@Example.org");
        record->date = qvtest::filetime_utc(2026, 3, 2, 10, m.minute) + fraction;
        add_recipient(*record, "Bob", "bob@x.org", QV_RECIP_TO);
        add_part(*record, work, QV_PART_TEXT_BODY, "", "body");
        if (m.attachment != nullptr)
            add_part(*record, work, QV_PART_ATTACHMENT, "a.pdf", m.attachment);
        writer.write_item(*record, work);
        com_Deallocate_All(record.get(), work.c_str());
    }
    writer.finish();
}

TEST(BatchVerify, ListsMissingRepeatedChangedAndForeignItems) {
    TempDir temp;
    const std::string work = (temp.path() / "work").string() + "/";
    fs::create_directories(work);
    write_archive(temp.path() / "source", work,
                  {{"<1@x>", "kept", 1, nullptr}, {"<2@x>", "lost", 2, nullptr},
                   {"<3@x>", "twice", 3, nullptr}, {"<4@x>", "changed", 4, "%PDF-1"},
                   {"", "no id", 5, nullptr}}, 0);
    write_archive(temp.path() / "target", work,
                  {{"<1@x>", "kept", 1, nullptr}, {"<3@x>", "twice", 3, nullptr},
                   {"<3@x>", "twice", 3, nullptr}, {"<4@x>", "changed", 4, "%PDF-12"},
                   {"", "no id", 5, nullptr}, {"<9@x>", "stranger", 9, nullptr}}, 1234);
    const auto differences = compare_archives(temp.path() / "source", temp.path() / "target", work);
    auto has = [&](const std::string &text) { return mentions(differences, text); };
    EXPECT_EQ(differences.size(), 4u) << ::testing::PrintToString(differences);
    EXPECT_TRUE(has("Inbox: \"lost\" of 2026-03-02T10:02:00"));
    EXPECT_TRUE(has("\"twice\" of 2026-03-02T10:03:00"));
    EXPECT_TRUE(has("is in the target 2 times"));
    EXPECT_TRUE(has("\"changed\" of 2026-03-02T10:04:00") && has("differs in the target: attachments"));
    EXPECT_TRUE(has("\"stranger\"") && has("is in the target but not in the source"));
}

} // namespace
} // namespace qvmigrate
