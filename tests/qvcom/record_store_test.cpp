// Sub-record storage: capacities, reuse, release and part file clean-up.
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

// A zeroed record on the heap that is always released.
struct Record {
    Record() : msg(std::make_unique<qv_message>()) {}
    ~Record() { com_Deallocate(msg.get(), nullptr); }
    qv_message *operator->() { return msg.get(); }
    qv_message *get() { return msg.get(); }
    std::unique_ptr<qv_message> msg;
};

qv_part *add_part(qv_message *msg, int type, const std::string &dir = "",
                  const std::string &content = "") {
    qv_part *part = com_AllocPart(msg);
    if (part == nullptr) {
        return nullptr;
    }
    part->part_type = type;
    if (!dir.empty()) {
        qvtest::write_file(part_file_path(dir, msg->msg_number, msg->part_count), content);
    }
    msg->part_count++;
    return part;
}

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
        Record rec;
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
    Record rec;
    qv_recipient *first = com_AllocRecip(rec.get());
    ASSERT_NE(first, nullptr);
    std::strcpy(first->address, "a@example.com");
    qv_recipient *again = com_AllocRecip(rec.get());
    EXPECT_EQ(again, first);
    EXPECT_STREQ(again->address, "");
}

TEST(RecordStore, ResetFreesEverythingAndKeepsFolderAndNumber) {
    Record rec;
    std::strcpy(rec->group_folder, "root");
    rec->msg_number = 42;
    std::strcpy(rec->subject, "hello");
    add_part(rec.get(), QV_PART_EMBEDDED_MSG);
    qv_message *sub = com_AllocSubMsg(rec.get(), 0);
    ASSERT_NE(sub, nullptr);
    add_part(sub, QV_PART_ATTACHMENT);
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
    Record rec;
    rec->msg_number = 7;
    add_part(rec.get(), QV_PART_EMBEDDED_MSG);
    qv_message *first = com_AllocSubMsg(rec.get(), 0);
    add_part(rec.get(), QV_PART_EMBEDDED_MSG);
    qv_message *second = com_AllocSubMsg(rec.get(), 1);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first->msg_number, rec->msg_number);
    EXPECT_NE(first->msg_number, second->msg_number);
    EXPECT_EQ(com_AllocSubMsg(rec.get(), 5), nullptr) << "no part record at that index";
    EXPECT_EQ(com_AllocSubMsg(rec.get(), QV_MAX_PARTS), nullptr);
}

TEST(RecordStore, DeallocateAllDeletesPartFilesAtEveryDepth) {
    qvtest::TempDir dir;
    Record rec;
    rec->msg_number = 3;
    add_part(rec.get(), QV_PART_TEXT_BODY, dir.prefix(), "body");
    add_part(rec.get(), QV_PART_EMBEDDED_MSG);
    qv_message *sub = com_AllocSubMsg(rec.get(), 1);
    add_part(sub, QV_PART_TEXT_BODY, dir.prefix(), "inner body");
    add_part(sub, QV_PART_EMBEDDED_MSG);
    qv_message *inner = com_AllocSubMsg(sub, 1);
    add_part(inner, QV_PART_ATTACHMENT, dir.prefix(), "deepest");
    // A part file written before its record was counted goes too.
    com_AllocPart(rec.get());
    qvtest::write_file(part_file_path(dir.prefix(), 3, 2), "half done");
    qvtest::write_file(dir.file("unrelated.txt"), "stays");

    com_Deallocate_All(rec.get(), dir.prefix().c_str());

    std::vector<std::string> left;
    for (const auto &entry : std::filesystem::directory_iterator(dir.prefix())) {
        left.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(left, std::vector<std::string>{"unrelated.txt"});
    EXPECT_EQ(rec->part_count, 0);
    EXPECT_EQ(rec->parts[1], nullptr);
}

TEST(RecordStore, DeallocateKeepsPartFiles) {
    qvtest::TempDir dir;
    Record rec;
    rec->msg_number = 4;
    add_part(rec.get(), QV_PART_TEXT_BODY, dir.prefix(), "body");
    com_Deallocate(rec.get(), dir.prefix().c_str());
    EXPECT_EQ(rec->part_count, 0);
    EXPECT_TRUE(std::filesystem::exists(part_file_path(dir.prefix(), 4, 0)));
}

TEST(RecordStore, DeepNestingIsReleasedWithoutRecursionLimits) {
    Record rec;
    qv_message *current = rec.get();
    for (int depth = 0; depth < 300; ++depth) {
        add_part(current, QV_PART_EMBEDDED_MSG);
        current = com_AllocSubMsg(current, 0);
        ASSERT_NE(current, nullptr);
    }
    uint32_t header = 0;
    uint32_t total = 0;
    com_CalcMdatSize(rec.get(), &header, &total);
    EXPECT_EQ(header, 301 * sizeof(qv_message) + 300 * sizeof(qv_part));
    com_Deallocate_All(rec.get(), "/nonexistent-qvcom-dir/");
    EXPECT_EQ(rec->parts[0], nullptr);
}

TEST(RecordStore, SizesCountRecordsAndParts) {
    Record rec;
    add_part(rec.get(), QV_PART_TEXT_BODY)->size = 100;
    add_part(rec.get(), QV_PART_EMBEDDED_MSG);
    qv_message *sub = com_AllocSubMsg(rec.get(), 1);
    add_part(sub, QV_PART_ATTACHMENT)->size = 1000;
    com_AllocRecip(rec.get());
    rec->recipient_count = 1;

    uint32_t header = 0;
    uint32_t total = 0;
    com_CalcMdatSize(rec.get(), &header, &total);
    EXPECT_EQ(header, 2 * sizeof(qv_message) + 3 * sizeof(qv_part) + sizeof(qv_recipient));
    EXPECT_EQ(total, header + 1100);
}

TEST(RecordStore, AttachSizeFillsSizesAndDropsLargeAttachments) {
    qvtest::TempDir dir;
    Record rec;
    rec->msg_number = 12;
    add_part(rec.get(), QV_PART_TEXT_BODY, dir.prefix(), std::string(50, 'b'));
    add_part(rec.get(), QV_PART_ATTACHMENT, dir.prefix(), std::string(20, 's'));
    add_part(rec.get(), QV_PART_ATTACHMENT, dir.prefix(), std::string(500, 'L'));
    std::strcpy(rec->parts[2]->file_name, "large.bin");
    add_part(rec.get(), QV_PART_MOVED_ATTACHMENT)->size = 77; // no file
    add_part(rec.get(), QV_PART_ATTACHMENT, dir.prefix(), "last");
    add_part(rec.get(), QV_PART_HTML_BODY, dir.prefix(), std::string(900, 'h'));

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

} // namespace
