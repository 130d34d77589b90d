// Sub-record storage: capacities, reuse, release and part file clean-up;
// notes kept as a record's text body.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "qv/qvcom.h"
#include "qv/qvcom.hpp"
#include "qv_test_support.hpp"

namespace {

using qvcom::part_file_path;

using qvtest::add_part;
using qvtest::new_record;
using qvtest::Record;

TEST(RecordStore, CapacitiesAreEnforced) {
    struct Case {
        const char *what;
        int capacity;
        void *(*alloc)(qv_message *);
        int32_t qv_message::*count;
    };
    const Case cases[] = {
        {"parts", QV_MAX_PARTS, [](qv_message *m) -> void * { return com_AllocPart(m); },
         &qv_message::part_count},
        {"recipients", QV_MAX_RECIPIENTS,
         [](qv_message *m) -> void * { return com_AllocRecip(m); }, &qv_message::recipient_count},
        {"breakouts", QV_MAX_BREAKOUTS,
         [](qv_message *m) -> void * { return com_AllocBreakout(m); },
         &qv_message::breakout_count},
    };
    for (const auto &c : cases) {
        Record rec = new_record(0);
        for (int i = 0; i < c.capacity; ++i) {
            ASSERT_NE(c.alloc(rec.get()), nullptr) << c.what << " #" << i;
            rec.get()->*c.count += 1;
        }
        EXPECT_EQ(c.alloc(rec.get()), nullptr) << c.what << ": one more than the capacity";
        rec.get()->*c.count = -1;
        EXPECT_EQ(c.alloc(rec.get()), nullptr) << c.what << ": negative count";
        rec.get()->*c.count = c.capacity;
    }
}

TEST(RecordStore, UncountedRecordIsHandedOutAgainZeroed) {
    Record rec = new_record(0);
    qv_recipient *first = com_AllocRecip(rec.get());
    ASSERT_NE(first, nullptr);
    std::strcpy(first->address, "a@example.com");
    qv_recipient *again = com_AllocRecip(rec.get());
    EXPECT_EQ(again, first);
    EXPECT_STREQ(again->address, "");
}

TEST(RecordStore, ResetFreesEverythingAndKeepsFolderAndNumber) {
    Record rec = new_record(0);
    std::strcpy(rec->group_folder, "root");
    rec->msg_number = 42;
    std::strcpy(rec->subject, "hello");
    add_part(*rec, "", QV_PART_EMBEDDED_MSG, "", nullptr);
    qv_message *sub = com_AllocSubMsg(rec.get(), 0);
    ASSERT_NE(sub, nullptr);
    add_part(*sub, "", QV_PART_ATTACHMENT, "", nullptr);
    ASSERT_NE(com_AllocRecip(rec.get()), nullptr);
    rec->recipient_count = 1;
    ASSERT_NE(com_AllocBreakout(rec.get()), nullptr); // allocated, never counted

    com_ResetObject(rec.get());

    EXPECT_STREQ(rec->group_folder, "root");
    EXPECT_EQ(rec->msg_number, 42);
    EXPECT_STREQ(rec->subject, "");
    EXPECT_EQ(rec->part_count, 0);
    EXPECT_EQ(rec->recipient_count, 0);
    EXPECT_EQ(rec->parts[0], nullptr);
    EXPECT_EQ(rec->breakouts[0], nullptr); // the leak check proves it was freed
}

TEST(RecordStore, EmbeddedMessagesNumberTheirOwnPartFiles) {
    Record rec = new_record(7);
    add_part(*rec, "", QV_PART_EMBEDDED_MSG, "", nullptr);
    qv_message *first = com_AllocSubMsg(rec.get(), 0);
    add_part(*rec, "", QV_PART_EMBEDDED_MSG, "", nullptr);
    qv_message *second = com_AllocSubMsg(rec.get(), 1);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first->msg_number, rec->msg_number);
    EXPECT_NE(first->msg_number, second->msg_number);
    EXPECT_EQ(com_AllocSubMsg(rec.get(), 5), nullptr) << "no part record at that index";
    EXPECT_EQ(com_AllocSubMsg(rec.get(), QV_MAX_PARTS), nullptr);
}

// A work directory is a prefix of the part file names: a folder, or a
// folder and the start of a name.
TEST(RecordStore, DeallocateAllDeletesPartFilesAtEveryDepth) {
    qvtest::TempDir dir;
    for (const std::string &work : {dir.prefix(), dir.prefix() + "job7_"}) {
        SCOPED_TRACE(work);
        Record rec = new_record(3);
        add_part(*rec, work, QV_PART_TEXT_BODY, "", "body");
        add_part(*rec, "", QV_PART_EMBEDDED_MSG, "", nullptr);
        qv_message *sub = com_AllocSubMsg(rec.get(), 1);
        add_part(*sub, work, QV_PART_TEXT_BODY, "", "inner body");
        add_part(*sub, "", QV_PART_EMBEDDED_MSG, "", nullptr);
        qv_message *inner = com_AllocSubMsg(sub, 1);
        add_part(*inner, work, QV_PART_ATTACHMENT, "", "deepest");
        // A part file written before its record was counted goes too.
        com_AllocPart(rec.get());
        qvtest::write_file(part_file_path(work, 3, 2), "half done");
        qvtest::write_file(dir.file("unrelated.txt"), "stays");

        com_Deallocate_All(rec.get(), work.c_str());

        std::vector<std::string> left;
        for (const auto &entry : std::filesystem::directory_iterator(dir.prefix())) {
            left.push_back(entry.path().filename().string());
        }
        EXPECT_EQ(left, std::vector<std::string>{"unrelated.txt"});
        EXPECT_EQ(rec->part_count, 0);
        EXPECT_EQ(rec->parts[1], nullptr);

        // com_Deallocate releases the records and keeps the files.
        add_part(*rec, work, QV_PART_TEXT_BODY, "", "body");
        com_Deallocate(rec.get(), work.c_str());
        EXPECT_EQ(rec->part_count, 0);
        EXPECT_TRUE(std::filesystem::exists(part_file_path(work, 3, 0)));
        std::filesystem::remove(part_file_path(work, 3, 0));
    }
}

TEST(RecordStore, SizesCountEveryRecordAndDeepNestingIsReleased) {
    Record rec = new_record(0);
    add_part(*rec, "", QV_PART_TEXT_BODY, "", nullptr).size = 100;
    com_AllocRecip(rec.get());
    rec->recipient_count = 1;
    qv_message *current = rec.get();
    for (int depth = 0; depth < 300; ++depth) {
        add_part(*current, "", QV_PART_EMBEDDED_MSG, "", nullptr);
        current = com_AllocSubMsg(current, current->part_count - 1);
        ASSERT_NE(current, nullptr);
    }
    add_part(*current, "", QV_PART_ATTACHMENT, "", nullptr).size = 1000;
    uint32_t header = 0;
    uint32_t total = 0;
    com_CalcMdatSize(rec.get(), &header, &total);
    EXPECT_EQ(header, 301 * sizeof(qv_message) + 302 * sizeof(qv_part) + sizeof(qv_recipient));
    EXPECT_EQ(total, header + 1100);
    com_Deallocate_All(rec.get(), "/nonexistent-qvcom-dir/"); // without recursion limits
    EXPECT_EQ(rec->parts[0], nullptr);
}

TEST(RecordStore, AttachSizeFillsSizesAndDropsLargeAttachments) {
    qvtest::TempDir dir;
    Record rec = new_record(12);
    add_part(*rec, dir.prefix(), QV_PART_TEXT_BODY, "", std::string(50, 'b').c_str());
    add_part(*rec, dir.prefix(), QV_PART_ATTACHMENT, "", std::string(20, 's').c_str());
    add_part(*rec, dir.prefix(), QV_PART_ATTACHMENT, "", std::string(500, 'L').c_str());
    std::strcpy(rec->parts[2]->file_name, "large.bin");
    add_part(*rec, "", QV_PART_MOVED_ATTACHMENT, "", nullptr).size = 77; // no file
    add_part(*rec, dir.prefix(), QV_PART_ATTACHMENT, "", "last");
    add_part(*rec, dir.prefix(), QV_PART_HTML_BODY, "", std::string(900, 'h').c_str());
    for (int i : {0, 1, 2, 4, 5})
        rec->parts[i]->size = 0; // the function under test fills them in

    EXPECT_EQ(com_AttachSize(rec.get(), dir.prefix().c_str(), 1, 100), 1);

    ASSERT_EQ(rec->part_count, 5);
    const uint32_t sizes[] = {50, 20, 77, 4, 900};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(rec->parts[i]->size, sizes[i]) << "part " << i;
    }
    EXPECT_EQ(rec->parts[5], nullptr);
    EXPECT_EQ(rec->parts[2]->part_type, QV_PART_MOVED_ATTACHMENT);
    EXPECT_FALSE(std::filesystem::exists(part_file_path(dir.prefix(), 12, 2)))
        << "the moved part had no file; none may appear in its new place";
    EXPECT_EQ(qvtest::read_file(part_file_path(dir.prefix(), 12, 3)), "last");
    EXPECT_EQ(qvtest::read_file(part_file_path(dir.prefix(), 12, 4)), std::string(900, 'h'));
    EXPECT_FALSE(std::filesystem::exists(part_file_path(dir.prefix(), 12, 5)));

    EXPECT_EQ(com_AttachSize(rec.get(), dir.prefix().c_str(), 1, 0), 0) << "0: no limit";
    com_Deallocate_All(rec.get(), dir.prefix().c_str());
}

// Notes of contacts, tasks and calendar items: stored as the record's text
// body part and read back, whole or cut between characters.
TEST(Notes, StoredAsTextBodyAndReadBack) {
    qvtest::TempDir dir;
    qvtest::Record rec = qvtest::new_record(7);
    qvtest::add_part(*rec, dir.prefix(), QV_PART_ATTACHMENT, "a.bin", "xyz");

    const std::string text = "Line one\r\nZ\xC3\xBCrich \xE2\x82\xAC";
    ASSERT_NE(com_WriteNotes(rec.get(), text.c_str(), dir.prefix().c_str()), 0);
    ASSERT_EQ(rec->part_count, 2);
    EXPECT_EQ(rec->parts[1]->part_type, QV_PART_TEXT_BODY);
    EXPECT_EQ(rec->parts[1]->size, text.size());
    EXPECT_STREQ(rec->parts[1]->charset, "utf-8");
    EXPECT_EQ(qvtest::read_file(part_file_path(dir.prefix(), 7, 1)), text);

    char out[256];
    EXPECT_EQ(com_ReadNotes(rec.get(), out, sizeof out, dir.prefix().c_str()),
              static_cast<int64_t>(text.size()));
    EXPECT_EQ(std::string(out), text);

    // Writing again replaces the notes instead of adding a second body.
    ASSERT_NE(com_WriteNotes(rec.get(), "short", dir.prefix().c_str()), 0);
    EXPECT_EQ(rec->part_count, 2);
    EXPECT_EQ(qvtest::read_file(part_file_path(dir.prefix(), 7, 1)), "short");

    // A buffer too small for the euro sign stops before it.
    ASSERT_NE(com_WriteNotes(rec.get(), text.c_str(), dir.prefix().c_str()), 0);
    char small[21]; // 20 bytes of text: the euro sign would end at 21
    EXPECT_EQ(com_ReadNotes(rec.get(), small, sizeof small, dir.prefix().c_str()), 18);
    EXPECT_EQ(std::string(small), "Line one\r\nZ\xC3\xBCrich ");
}

TEST(Notes, NothingStoredNothingRead) {
    qvtest::TempDir dir;
    qvtest::Record rec = qvtest::new_record(8);
    EXPECT_NE(com_WriteNotes(rec.get(), "", dir.prefix().c_str()), 0);
    EXPECT_EQ(rec->part_count, 0);
    char out[16] = "junk";
    EXPECT_EQ(com_ReadNotes(rec.get(), out, sizeof out, dir.prefix().c_str()), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(com_WriteNotes(nullptr, "x", dir.prefix().c_str()), 0);

    // A part file that cannot be written adds no part.
    EXPECT_EQ(com_WriteNotes(rec.get(), "text", (dir.prefix() + "missing/").c_str()), 0);
    EXPECT_EQ(rec->part_count, 0);
}

} // namespace
