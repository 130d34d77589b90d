// GetUserList: UTF-16LE mailbox listings into "address;address;name"; the
// listing of tests/data/frame and missing files go through the export in
// exports_test.cpp.
#include <string>

#include <gtest/gtest.h>

#include "frame/user_list.hpp"
#include "qv_test_support.hpp"
#include "test_support.hpp"

using namespace qvamz;

namespace {

class UserListTest : public ::testing::Test {
protected:
    std::string Convert(const std::string &listing_bytes)
    {
        conntest::WriteFile(input_, listing_bytes);
        EXPECT_EQ(WriteUserList(input_.c_str(), output_.c_str()), 1);
        return conntest::ReadFile(output_);
    }

    conntest::ScratchDir dir_;
    std::string input_ = dir_.file("listing.txt");
    std::string output_ = dir_.file("users.txt");
};

TEST_F(UserListTest, LineForms)
{
    struct Case {
        const char *name;
        std::u16string listing;
        const char *expected;
    };
    const Case cases[] = {
        {"no BOM, bare line feeds",
         u"DisplayName : A\nPrimarySmtpAddress : a@x\nPrimarySmtpAddress : b@x",
         "a@x;a@x;A\nb@x;b@x;\n"},
        {"value starts two characters after the first colon",
         u"DisplayName:\u00C9mile: Z\r\nPrimarySmtpAddress :e@x\r\n"
         u"DisplayName :\r\nPrimarySmtpAddress : f@x\r\n",
         "@x;@x;mile: Z\nf@x;f@x;\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Convert(qvtest::utf16le(c.listing)), c.expected) << c.name;

    // (Lines without a colon, other properties, a BOM and surrogate pairs:
    // the listing of tests/data/frame.)  A lone surrogate becomes U+FFFD, a
    // trailing odd byte is no character.
    std::u16string listing = u"DisplayName : \U0001D11E\xD800!\r\nPrimarySmtpAddress : m@x";
    EXPECT_EQ(Convert(qvtest::utf16le(listing) + "A"), "m@x;m@x;\xF0\x9D\x84\x9E\xEF\xBF\xBD!\n");
}

TEST_F(UserListTest, LongLinesAreCut)
{
    std::u16string name(700, u'n');
    std::string out =
        Convert(qvtest::utf16le(u"DisplayName : " + name + u"\r\nPrimarySmtpAddress : l@x\r\n"));
    // 500 code units are read; the value starts 14 units in.
    EXPECT_EQ(out, "l@x;l@x;" + std::string(500 - 14, 'n') + "\n");

    std::u16string wide(400, u'\u00E4'); // 2 UTF-8 bytes each
    out = Convert(qvtest::utf16le(u"DisplayName : " + wide + u"\r\nPrimarySmtpAddress : w@x\r\n"));
    std::string expected_name;
    for (std::size_t i = 0; i < (kUserListUtf8Max - 14) / 2; ++i)
        expected_name += "\xC3\xA4";
    EXPECT_EQ(out, "w@x;w@x;" + expected_name + "\n");
}

} // namespace
