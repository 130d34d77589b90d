// Job filters: date range, maximum date, skipped subjects, search text,
// address translation, set by the host API or by switches; the duplicate
// store.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "qv/qvcom.h"
#include "qv/qvcom.hpp"
#include "qv_test_support.hpp"

namespace {

using qvtest::filetime_utc;
constexpr qv_filetime kSecond = 10000000ULL;

class Filters : public ::testing::Test {
  protected:
    void SetUp() override
    {
        qvcom_reset_filters();
        qvcom_set_switches(nullptr);
    }
    void TearDown() override
    {
        qvcom_reset_filters();
        qvcom_set_switches(nullptr);
    }
    qvtest::Record msg = qvtest::new_record(0);
};

TEST_F(Filters, DateRangeFromSwitchesCoversWholeDays)
{
    qv_filetime start = 1, end = 1;
    EXPECT_EQ(com_GetDateRange(&start, &end), 0);
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(end, 0u);

    qvcom_set_switches("/FROMDATE 2026-01-01 /TODATE 2026-01-31");
    ASSERT_EQ(com_GetDateRange(&start, &end), 1);
    // The server compares exclusively: one second outside each end.
    EXPECT_EQ(start, filetime_utc(2026, 1, 1) - kSecond);
    EXPECT_EQ(end, filetime_utc(2026, 2, 1));
    EXPECT_EQ(com_Check_MaxCalDate(filetime_utc(2026, 1, 1)), 1);
    EXPECT_EQ(com_Check_MaxCalDate(filetime_utc(2026, 1, 31, 23, 59, 59)), 1);
    EXPECT_EQ(com_Check_MaxCalDate(filetime_utc(2026, 2, 1)), 0);
    EXPECT_EQ(com_Check_MaxCalDate(filetime_utc(2025, 12, 31, 23, 59, 59)), 0);
    const qv_filetime task = filetime_utc(2026, 3, 1);
    EXPECT_EQ(com_Check_MaxTaskDate(&task), 0);
    EXPECT_EQ(com_Check_MaxCalDate(0), 1) << "a null date is never filtered";
}

TEST_F(Filters, HostSettingWinsOverSwitchesUntilReset)
{
    qvcom_set_switches("/FROMDATE 2026-01-01");
    qvcom_set_date_range(filetime_utc(2020, 5, 1), filetime_utc(2020, 5, 2, 12));
    qv_filetime start = 0, end = 0;
    ASSERT_EQ(com_GetDateRange(&start, &end), 1);
    EXPECT_EQ(start, filetime_utc(2020, 5, 1) - kSecond);
    EXPECT_EQ(end, filetime_utc(2020, 5, 2, 12) + kSecond);

    qvcom_set_date_range(0, 0); // the host clears it: no range, switch or not
    EXPECT_EQ(com_GetDateRange(&start, &end), 0);
    qvcom_reset_filters();
    ASSERT_EQ(com_GetDateRange(&start, &end), 1);
    EXPECT_EQ(start, filetime_utc(2026, 1, 1) - kSecond);
    EXPECT_GT(end, filetime_utc(9000, 1, 1)) << "no upper bound";
}

TEST_F(Filters, MaximumMessageDate)
{
    msg->date = filetime_utc(2026, 6, 1, 12);
    EXPECT_EQ(com_Check_MaxMsgDate(msg.get(), 0), 0) << "no maximum set";
    qvcom_set_switches("/MAXDATE 2026-06-01");
    EXPECT_EQ(com_Check_MaxMsgDate(msg.get(), 0), 1) << "the whole day is included";
    msg->date = filetime_utc(2026, 6, 2);
    EXPECT_EQ(com_Check_MaxMsgDate(msg.get(), 0), 2);
    qvcom_set_max_date(filetime_utc(2027, 1, 1));
    EXPECT_EQ(com_Check_MaxMsgDate(msg.get(), 0), 1);
    // The host's value for this call wins (seconds since 1970).
    EXPECT_EQ(com_Check_MaxMsgDate(msg.get(), 1000), 2);
    msg->date = 0;
    EXPECT_EQ(com_Check_MaxMsgDate(msg.get(), 0), 0);
}

TEST_F(Filters, SkippedSubjectsMatchIgnoringCase)
{
    const char *line = "RFC subject: Out of Office: Jörg; Date=12/6/2026 15:04";
    EXPECT_EQ(com_ExcludeSubject(line), 0);
    qvcom_set_switches("/SKIPSUBS \"out of office|Undeliverable\"");
    EXPECT_EQ(com_ExcludeSubject(line), 1);
    EXPECT_EQ(com_ExcludeSubject("RFC subject: Weekly report; Date=1/1/2026 00:00"), 0);
    qvcom_set_skip_subjects("JÖRG");
    EXPECT_EQ(com_ExcludeSubject(line), 1) << "case is ignored beyond ASCII";
    qvcom_set_skip_subjects("");
    EXPECT_EQ(com_ExcludeSubject(line), 0);
}

TEST_F(Filters, SearchLooksAtTheChosenFields)
{
    qvtest::TempDir dir;
    std::strcpy(msg->subject, "Quarterly report");
    std::strcpy(msg->from_name, "Jörg Müller");
    std::strcpy(msg->from_address, "joerg@example.com");
    qvtest::add_recipient(*msg, "Alice", "alice@example.org", QV_RECIP_TO);
    // The search text lies across the 64 KiB pieces the file is read in.
    const std::string text = std::string(65536 - 4, 'x') + "ZEBRA crossing";
    qvtest::add_part(*msg, dir.prefix(), QV_PART_TEXT_BODY, "", text.c_str());

    EXPECT_EQ(com_SearchMsg(msg.get(), dir.prefix().c_str(), 0, 0, 0), 1) << "no search: all match";
    const struct {
        const char *text;
        int fields;
        int expected;
    } cases[] = {
        {"quarterly", 0, 1},
        {"quarterly", QVCOM_SEARCH_BODY, 0},
        {"MÜLLER", QVCOM_SEARCH_SENDER, 1},
        {"alice@", QVCOM_SEARCH_RECIPIENTS, 1},
        {"alice@", QVCOM_SEARCH_SUBJECT | QVCOM_SEARCH_SENDER, 0},
        {"zebra", QVCOM_SEARCH_BODY, 1},
        {"nothing|zebra", 0, 1},
        {"nothing", 0, 0},
    };
    for (const auto &c : cases) {
        qvcom_set_search_text(c.text);
        EXPECT_EQ(com_SearchMsg(msg.get(), dir.prefix().c_str(), c.fields, 0, 0), c.expected)
            << c.text << " in fields " << c.fields;
    }
}

TEST_F(Filters, AddressTranslationReplacesEveryAddress)
{
    qvtest::TempDir dir;
    qvtest::write_file(dir.file("map.csv"),
                       "\xEF\xBB\xBFold,new\n"
                       "# comment\n"
                       "Alice@Old.example,alice@new.example\n"
                       "\"bob@old.example\" , \"bob.b@new.example\"\n"
                       "carol@old.example;carol@new.example\n"
                       "lonely-column\n");
    EXPECT_EQ(qvcom_set_address_translation(dir.file("map.csv").c_str()), 4);
    std::strcpy(msg->from_address, "alice@old.example");
    std::strcpy(msg->from_name, "Alice <ALICE@old.example>");
    qvtest::add_recipient(*msg, "Bob", "bob@old.example", QV_RECIP_TO);
    qvtest::add_recipient(*msg, "Carol", "carol@old.example", QV_RECIP_TO);
    qvtest::add_recipient(*msg, "Dan", "dan@old.example", QV_RECIP_TO);
    EXPECT_EQ(com_AddressTranslate(msg.get()), 4);
    EXPECT_STREQ(msg->from_address, "alice@new.example");
    EXPECT_STREQ(msg->from_name, "Alice <alice@new.example>");
    EXPECT_STREQ(msg->recipients[0]->address, "bob.b@new.example");
    EXPECT_STREQ(msg->recipients[1]->address, "carol@new.example");
    EXPECT_STREQ(msg->recipients[2]->address, "dan@old.example");
    EXPECT_EQ(qvcom_set_address_translation(dir.file("missing.csv").c_str()), -1);
    EXPECT_EQ(com_AddressTranslate(msg.get()), 0);
}

TEST_F(Filters, AddressTranslationFileFromSwitchIsReloadedWhenChanged)
{
    qvtest::TempDir dir;
    qvtest::write_file(dir.file("map.csv"), "a@x.org,b@x.org\n");
    const std::string switches = "/ADDRMAP \"" + dir.file("map.csv") + "\"";
    qvcom_set_switches(switches.c_str());
    std::strcpy(msg->from_address, "a@x.org");
    EXPECT_EQ(com_AddressTranslate(msg.get()), 1);
    EXPECT_STREQ(msg->from_address, "b@x.org");
    qvtest::write_file(dir.file("map.csv"), "b@x.org,c@x.org\nzz@x.org,yy@x.org\n");
    // A changed file carries a newer time stamp.
    std::filesystem::last_write_time(dir.file("map.csv"),
                                     std::filesystem::file_time_type::clock::now() +
                                         std::chrono::seconds(5));
    EXPECT_EQ(com_AddressTranslate(msg.get()), 1);
    EXPECT_STREQ(msg->from_address, "c@x.org");
}

// The persistent duplicate store: a changed item is new, a changed state
// is not, the key of the check is the key remembered.  That a second run
// finds every item is QvmigrateEndToEnd's job.
class DuplicateStore : public Filters {
  protected:
    void SetUp() override
    {
        Filters::SetUp();
        ASSERT_EQ(qvcom_set_duplicate_store(store_path().c_str(), "src->dst"), 1);
    }
    std::string store_path() const { return dir.file("state/dups.sqlite"); }

    // A mail item with a text body file, as the reader leaves it.
    qvtest::Record item(const char *subject, const char *body, int msg_number = 3)
    {
        qvtest::Record rec = qvtest::new_record(msg_number);
        std::strcpy(rec->subject, subject);
        std::strcpy(rec->message_id, "<id-1@example.com>");
        std::strcpy(rec->from_address, "a@example.com");
        rec->date = 133000000000000000ULL;
        qvtest::add_part(*rec, dir.prefix(), QV_PART_TEXT_BODY, "", body);
        return rec;
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

// Keys are persistent: a store an earlier version wrote must still answer
// for every item.  A part file read in several blocks, an empty one and a
// missing one.
TEST_F(DuplicateStore, KeysStayWhatEarlierVersionsStored)
{
    auto m = item("fixed", "");
    std::string big(2 * 65536 + 7, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 26);
    qvtest::add_part(*m, dir.prefix(), QV_PART_ATTACHMENT, "big.bin", big.c_str());
    qvtest::add_part(*m, dir.prefix(), QV_PART_ATTACHMENT, "gone.bin", nullptr);
    com_MsgIsDuplicate(m.get(), dir.prefix().c_str(), QVCOM_DUP_IDENTIFY, "");
    EXPECT_EQ(qvtest::hex(std::string_view(reinterpret_cast<const char *>(m->binary_id), 16)),
              "37d287de2e05e794420617b0656e06e5");
}

// A host that remembers a bundle's items once the target took them keeps
// the keys of their checks and stores them together.
TEST_F(DuplicateStore, KeysOfABundleAreRememberedTogether)
{
    std::vector<unsigned char> keys;
    for (const char *subject : {"one", "two", "three"}) {
        ASSERT_EQ(check(item(subject, subject).get()), 0);
        unsigned char key[32];
        ASSERT_EQ(qvcom_last_duplicate_key(key), 1);
        keys.insert(keys.end(), key, key + sizeof key);
    }
    EXPECT_EQ(check(item("one", "one").get()), 0) << "nothing remembered yet";
    EXPECT_EQ(qvcom_remember_duplicate_keys(keys.data(), 3, "Inbox"), 1);
    for (const char *subject : {"one", "two", "three"})
        EXPECT_EQ(check(item(subject, subject).get()), 1) << subject;

    qvcom_set_duplicate_store("", nullptr);
    unsigned char key[32];
    check(item("one", "one").get());
    EXPECT_EQ(qvcom_last_duplicate_key(key), 0) << "a check without a store makes no key";
    EXPECT_EQ(qvcom_remember_duplicate_keys(keys.data(), 3, "Inbox"), 0);
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
