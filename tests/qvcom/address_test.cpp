// Address lists into mailboxes, mailboxes into name and address.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qv/qvcom.h"

namespace {

std::vector<std::string> split(const std::string &list)
{
    std::vector<std::string> out;
    const char *cursor = list.c_str();
    char item[256];
    for (int guard = 0; guard < 100; ++guard) {
        const int more = com_Extract_Adr(&cursor, item, sizeof item);
        out.emplace_back(item);
        if (!more)
            break;
    }
    return out;
}

TEST(Addresses, ListsSplitOutsideQuotesCommentsAndBrackets)
{
    using List = std::vector<std::string>;
    const std::pair<const char *, List> cases[] = {
        {"a@x.org", {"a@x.org"}},
        {"a@x.org, b@x.org", {"a@x.org", "b@x.org"}},
        {"\"Doe, John\" <j@x.org>, b@x.org", {"\"Doe, John\" <j@x.org>", "b@x.org"}},
        {"j@x.org (Doe, John), b@x.org", {"j@x.org (Doe, John)", "b@x.org"}},
        {"<@relay,@other:j@x.org>, b@x.org", {"<@relay,@other:j@x.org>", "b@x.org"}},
        {"Team: a@x.org, b@x.org;, c@x.org", {"a@x.org", "b@x.org", "", "c@x.org"}},
        {"undisclosed-recipients:;", {""}},
        {"a@x.org; b@x.org", {"a@x.org", "b@x.org"}},
        {"=?utf-8?q?Doe=2C_J:?= <j@x.org>", {"=?utf-8?q?Doe=2C_J:?= <j@x.org>"}},
        {"\"a\\\"b, c\" <q@x.org>", {"\"a\\\"b, c\" <q@x.org>"}},
        {"a@x.org,", {"a@x.org"}},
    };
    for (const auto &[list, expected] : cases)
        EXPECT_EQ(split(list), expected) << list;
}

struct MailboxCase {
    const char *text;
    const char *name;
    const char *address;
};

TEST(Addresses, MailboxesSplitIntoNameAndAddress)
{
    const MailboxCase cases[] = {
        {"John Doe <john@x.org>", "John Doe", "john@x.org"},
        {"\"Doe, John\" <john@x.org>", "Doe, John", "john@x.org"},
        {"\"Say \\\"hi\\\"\"  <h@x.org>", "Say \"hi\"", "h@x.org"},
        {"<john@x.org>", "", "john@x.org"},
        {"john@x.org", "", "john@x.org"},
        {"john@x.org (John Doe)", "John Doe", "john@x.org"},
        {"(no one else) gil@x.org (Gil)", "Gil", "gil@x.org"}, // the comment after the address
        {"John   (the boss)   Doe <john@x.org>", "John Doe", "john@x.org"},
        {"<@relay.x.org:john@x.org>", "", "john@x.org"},
        {"postmaster", "", "postmaster"},
        {"Just A Name", "Just A Name", ""},
        {"\"john@x.org\" <john@x.org>", "john@x.org", "john@x.org"},
        {"()", "", ""},
        {"", "", ""},
    };
    for (const auto &c : cases) {
        char name[128] = "junk", address[128] = "junk";
        com_ExtractMIMEAddr(c.text, name, sizeof name, address, sizeof address);
        EXPECT_STREQ(name, c.name) << c.text;
        EXPECT_STREQ(address, c.address) << c.text;
    }
}

TEST(Addresses, OutputsAreCutToTheirCapacity)
{
    char name[6], address[5];
    EXPECT_EQ(com_ExtractMIMEAddr("Jonathan <jon@x.org>", name, sizeof name, address, sizeof address), 1);
    EXPECT_STREQ(name, "Jonat");
    EXPECT_STREQ(address, "jon@");
    EXPECT_EQ(com_ExtractMIMEAddr(nullptr, name, sizeof name, nullptr, 0), 0);
}

} // namespace
