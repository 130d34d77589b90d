// Job filters: date range, maximum date, skipped subjects, search text and
// address translation, set by the host API or by switches.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <string>

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
        com_Deallocate(msg.get(), nullptr);
    }
    qv_recipient *add_recipient(const char *name, const char *address)
    {
        qv_recipient *r = com_AllocRecip(msg.get());
        std::strcpy(r->name, name);
        std::strcpy(r->address, address);
        ++msg->recipient_count;
        return r;
    }
    std::unique_ptr<qv_message> msg = std::make_unique<qv_message>();
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
    add_recipient("Alice", "alice@example.org");
    qv_part *body = com_AllocPart(msg.get());
    body->part_type = QV_PART_TEXT_BODY;
    ++msg->part_count;
    // The search text lies across the 64 KiB pieces the file is read in.
    std::string text(65536 - 4, 'x');
    text += "ZEBRA crossing";
    qvtest::write_file(qvcom::part_file_path(dir.prefix(), msg->msg_number, 0), text);

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
    add_recipient("Bob", "bob@old.example");
    add_recipient("Carol", "carol@old.example");
    add_recipient("Dan", "dan@old.example");
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

} // namespace
