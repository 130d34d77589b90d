// The demo check for contacts: two dumps of a copied Contacts folder agree
// when every field came across, and each field that did not is named.
#include <gtest/gtest.h>

#include "compare_contacts.hpp"
#include "dump_compare.hpp"
#include "test_support.hpp"

namespace qvmigrate {
namespace {

using namespace qvm_test;

const char *kFolders = R"({"mailbox": "a@x", "folders": [
  {"tree": "msgfolderroot", "path": "Contacts", "class": "IPF.Contact", "distinguished": "contacts", "total": 2}]})";

struct Facts {
    std::string given_name_tag = "0x3a06";
    std::string email_name = "Jürgen Müller (juergen@example.de)";
    std::string mobile = "+49 170 555 1234";
    std::string city = "Stuttgart";
    long long card_size = 61;
    std::string members = R"("AAAA", "BBBB")";
    std::string home_page = "www.example.de";
};

// A contact and a list as the sandbox dumps them (tests/data/qvmigrate):
// fields are properties, the list's members are one-off entries.
std::string ContactJson(const Facts &f) {
    return filled(read_file(fs::path(QV_TEST_DATA_DIR) / "qvmigrate" / "contact.json"),
                  {{"@CARD_SIZE@", std::to_string(f.card_size)}, {"@GIVEN_NAME_TAG@", f.given_name_tag},
                   {"@EMAIL_NAME@", f.email_name}, {"@MOBILE@", f.mobile}, {"@HOME_PAGE@", f.home_page},
                   {"@CITY@", f.city}});
}

std::string ListJson(const Facts &f) {
    return filled(read_file(fs::path(QV_TEST_DATA_DIR) / "qvmigrate" / "contact-list.json"),
                  {{"@MEMBERS@", f.members}});
}

MailboxDump Dump(const fs::path &dir, const Facts &facts) {
    write_dump(dir, kFolders, {{ContactJson(facts), ""}, {ListJson(facts), ""}});
    return load_dump(dir);
}

TEST(CompareContacts, EachDifferingFieldIsNamed) {
    TempDir temp;
    const MailboxDump source = Dump(temp.path() / "s", Facts{});
    // The same contact, with its tag spelt in capitals, the home page given
    // its scheme and the members in another order, is the same.
    const Facts same{.given_name_tag = "0x3A06", .members = R"("BBBB", "AAAA")",
                     .home_page = "https://www.example.de"};
    const CheckOutcome alike = compare_dumps(source, Dump(temp.path() / "same", same));
    EXPECT_TRUE(alike.passed) << ::testing::PrintToString(alike.differences);

    const struct {
        const char *name;
        Facts facts;
        std::string reported;
    } cases[] = {{"e-mail name", {.email_name = "Jürgen Müller"}, "e-mail 1 display name differs"},
                 {"phone", {.mobile = ""}, "mobile phone differs"},
                 {"address", {.city = "Stuttgart "}, "business city differs"},
                 {"attachment", {.card_size = 60}, "attachments differ"},
                 {"members", {.members = R"("AAAA")"}, "\"Team\": list members differs"},
                 {"home page", {.home_page = "http://www.example.de"}, "business home page differs"}};
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const CheckOutcome outcome = compare_dumps(source, Dump(temp.path() / std::to_string(++n), c.facts));
        EXPECT_FALSE(outcome.passed);
        ASSERT_EQ(outcome.differences.size(), 1u) << ::testing::PrintToString(outcome.differences);
        EXPECT_NE(outcome.differences[0].find(c.reported), std::string::npos) << outcome.differences[0];
    }
}

TEST(CompareContacts, MissingAndExtraContactsAreNamed) {
    TempDir temp;
    const MailboxDump source = Dump(temp.path() / "s", Facts{});
    MailboxDump target = Dump(temp.path() / "t", Facts{});
    target.items.pop_back(); // the list did not arrive
    const auto missing = compare_contacts(source, target);
    ASSERT_EQ(missing.size(), 1u);
    EXPECT_EQ(missing[0], "Contacts: contact \"Team\" is missing in the target");
    const auto extra = compare_contacts(target, source);
    ASSERT_EQ(extra.size(), 1u);
    EXPECT_EQ(extra[0], "Contacts: contact \"Team\" is only in the target");
}

} // namespace
} // namespace qvmigrate
