// The persistent duplicate store: a changed item is new, a changed state
// is not, the key of the check is the key remembered.  That a second run
// finds every item is QvmigrateEndToEnd's job.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "qv/qvcom.h"
#include "qv/qvcom.hpp"
#include "qv_test_support.hpp"

namespace {

class DuplicateStore : public ::testing::Test {
  protected:
    void SetUp() override
    {
        qvcom_reset_filters();
        qvcom_set_switches(nullptr);
        ASSERT_EQ(qvcom_set_duplicate_store(store_path().c_str(), "src->dst"), 1);
    }
    void TearDown() override
    {
        qvcom_reset_filters();
        qvcom_set_switches(nullptr);
    }
    std::string store_path() const { return dir.file("state/dups.sqlite"); }

    // A mail item with a text body file, as the reader leaves it.
    qvtest::Record item(const char *subject, const char *body, int msg_number = 3)
    {
        qvtest::Record msg = qvtest::new_record(msg_number);
        std::strcpy(msg->subject, subject);
        std::strcpy(msg->message_id, "<id-1@example.com>");
        std::strcpy(msg->from_address, "a@example.com");
        msg->date = 133000000000000000ULL;
        qvtest::add_part(*msg, dir.prefix(), QV_PART_TEXT_BODY, "", body);
        return msg;
    }
    int check(qv_message *m, const char *folder = "Inbox")
    {
        return com_MsgIsDuplicate(m, dir.prefix().c_str(), QVCOM_DUP_CHECK, folder);
    }
    void remember(qv_message *m, const char *folder = "Inbox")
    {
        com_MsgIsDuplicate(m, dir.prefix().c_str(), QVCOM_DUP_REMEMBER, folder);
    }

    qvtest::TempDir dir;
};

TEST_F(DuplicateStore, ChangedItemsAreNewStateChangesAreNot)
{
    {
        auto m = item("report", "body");
        ASSERT_EQ(check(m.get()), 0);
        remember(m.get());
    }
    auto read_and_flagged = item("report", "body");
    read_and_flagged->unread = 1;
    read_and_flagged->flag_status = 2;
    read_and_flagged->replied = 1;
    std::strcpy(read_and_flagged->categories, "Red");
    EXPECT_EQ(check(read_and_flagged.get()), 1);

    EXPECT_EQ(check(item("report", "body changed").get()), 0);
    EXPECT_EQ(check(item("report v2", "body").get()), 0);
    EXPECT_EQ(check(item("report", "body").get(), "Archive"), 0) << "another folder";

    qvcom_set_duplicate_store(store_path().c_str(), "other->pair");
    EXPECT_EQ(check(item("report", "body").get()), 0) << "another scope";
}

TEST_F(DuplicateStore, RememberUsesTheKeyOfTheCheckEvenAfterPartsWereDropped)
{
    auto m = item("big", "attachment body");
    ASSERT_EQ(check(m.get()), 0);
    // The host drops an oversized part between the check and the output.
    std::remove(qvcom::part_file_path(dir.prefix(), 3, 0).c_str());
    m->part_count = 0;
    remember(m.get());
    EXPECT_EQ(check(item("big", "attachment body").get()), 1);
}

TEST_F(DuplicateStore, IdentifyFillsAnEmptyBinaryIdOnly)
{
    auto a = item("meeting", "x");
    auto b = item("meeting", "x");
    com_MsgIsDuplicate(a.get(), dir.prefix().c_str(), QVCOM_DUP_IDENTIFY, "");
    com_MsgIsDuplicate(b.get(), dir.prefix().c_str(), QVCOM_DUP_IDENTIFY, "");
    static const uint8_t zero[16] = {};
    EXPECT_NE(std::memcmp(a->binary_id, zero, 16), 0);
    EXPECT_EQ(std::memcmp(a->binary_id, b->binary_id, 16), 0) << "same item, same id";
    uint8_t given[16];
    std::memset(given, 0x5A, sizeof given);
    std::memcpy(b->binary_id, given, 16);
    com_MsgIsDuplicate(b.get(), dir.prefix().c_str(), QVCOM_DUP_IDENTIFY, "");
    EXPECT_EQ(std::memcmp(b->binary_id, given, 16), 0);
}

TEST_F(DuplicateStore, WithoutAStoreNothingIsADuplicate)
{
    qvcom_set_duplicate_store("", nullptr);
    auto m = item("x", "y");
    remember(m.get());
    EXPECT_EQ(check(m.get()), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("state/none.sqlite")));

    // The switch names a store when the host did not.
    qvcom_reset_filters();
    const std::string switches = "/DUPDB \"" + dir.file("state/switch.sqlite") + "\"";
    qvcom_set_switches(switches.c_str());
    remember(m.get());
    EXPECT_EQ(check(m.get()), 1);
    EXPECT_TRUE(std::filesystem::exists(dir.file("state/switch.sqlite")));
}

TEST_F(DuplicateStore, UnopenableStoreIsReported)
{
    qvtest::write_file(dir.file("plainfile"), "x");
    EXPECT_EQ(qvcom_set_duplicate_store(dir.file("plainfile/sub/dups.sqlite").c_str(), ""), 0);
    auto m = item("x", "y");
    EXPECT_EQ(check(m.get()), 0);
}

} // namespace
