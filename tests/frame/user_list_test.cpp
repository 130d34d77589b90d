// GetUserList: UTF-16LE mailbox listings into "address;address;name".
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "frame/user_list.hpp"
#include "test_support.hpp"

using namespace qvamz;

namespace {

// UTF-16LE bytes of a UTF-16 text (test data written by hand).
std::string Utf16le(const std::u16string &text)
{
    std::string bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

class UserListTest : public ::testing::Test {
protected:
    std::string Convert(const std::string &listing_bytes)
    {
        {
            std::ofstream out(input_, std::ios::binary);
            out << listing_bytes;
        }
        EXPECT_EQ(WriteUserList(input_.c_str(), output_.c_str()), 1);
        return conntest::ReadFile(output_);
    }

    conntest::ScratchDir dir_;
    std::string input_ = dir_.file("listing.txt");
    std::string output_ = dir_.file("users.txt");
};

TEST_F(UserListTest, ListingFromDataFile)
{
    const std::string data = std::string(QV_TEST_DATA_DIR) + "/frame/mailboxes-utf16le";
    const std::string input = data + ".txt";
    ASSERT_EQ(WriteUserList(input.c_str(), output_.c_str()), 1);
    EXPECT_EQ(conntest::ReadFile(output_), conntest::ReadFile(data + ".expected"));
}

TEST_F(UserListTest, WithoutBomAndWithBareLineFeeds)
{
    EXPECT_EQ(Convert(Utf16le(u"DisplayName : A\nPrimarySmtpAddress : a@x\n"
                              u"PrimarySmtpAddress : b@x")),
              "a@x;a@x;A\nb@x;b@x;\n");
}

TEST_F(UserListTest, ValueStartsTwoCharactersAfterTheFirstColon)
{
    EXPECT_EQ(Convert(Utf16le(u"DisplayName:\u00C9mile: Z\r\nPrimarySmtpAddress :e@x\r\n"
                              u"DisplayName :\r\nPrimarySmtpAddress : f@x\r\n")),
              "@x;@x;mile: Z\nf@x;f@x;\n");
}

TEST_F(UserListTest, LinesWithoutColonAndOtherPropertiesAreSkipped)
{
    EXPECT_EQ(Convert(Utf16le(u"DisplayName : Kept\r\nPrimarySmtpAddress\r\n"
                              u"Alias : k\r\nPrimarySmtpAddress : k@x\r\n")),
              "k@x;k@x;Kept\n");
}

TEST_F(UserListTest, SurrogatesAndOddBytes)
{
    // A pair becomes one 4-byte UTF-8 sequence, a lone surrogate U+FFFD, a
    // trailing odd byte is no character.
    std::u16string listing = u"DisplayName : \U0001D11E\xD800!\r\nPrimarySmtpAddress : m@x";
    EXPECT_EQ(Convert(Utf16le(listing) + "A"), "m@x;m@x;\xF0\x9D\x84\x9E\xEF\xBF\xBD!\n");
}

TEST_F(UserListTest, LongLinesAreCut)
{
    std::u16string name(700, u'n');
    std::string out =
        Convert(Utf16le(u"DisplayName : " + name + u"\r\nPrimarySmtpAddress : l@x\r\n"));
    // 500 code units are read; the value starts 14 units in.
    EXPECT_EQ(out, "l@x;l@x;" + std::string(500 - 14, 'n') + "\n");

    std::u16string wide(400, u'\u00E4'); // 2 UTF-8 bytes each
    out = Convert(Utf16le(u"DisplayName : " + wide + u"\r\nPrimarySmtpAddress : w@x\r\n"));
    std::string expected_name;
    for (std::size_t i = 0; i < (kUserListUtf8Max - 14) / 2; ++i)
        expected_name += "\xC3\xA4";
    EXPECT_EQ(out, "w@x;w@x;" + expected_name + "\n");
}

TEST_F(UserListTest, MissingFilesGiveZero)
{
    EXPECT_EQ(WriteUserList(dir_.file("absent.txt").c_str(), output_.c_str()), 0);
    {
        std::ofstream(input_) << "x";
    }
    EXPECT_EQ(WriteUserList(input_.c_str(), dir_.file("no/such/dir/out.txt").c_str()), 0);
    EXPECT_EQ(WriteUserList(nullptr, output_.c_str()), 0);
}

} // namespace
