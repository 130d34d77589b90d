// The secret string keeps its value through every way it is set, copied
// and moved, and leaves nothing behind in the value it was moved from.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "common/secret_string.hpp"

namespace {

using qvcommon::SecretString;

TEST(SecretString, ValueSurvivesAssignCopyAndMove)
{
    const std::string long_value(100, 's'); // past the short-string buffer
    for (const std::string &value : {std::string("pw"), long_value}) {
        SecretString secret(value);
        EXPECT_EQ(secret, value);
        SecretString copy = secret;
        EXPECT_EQ(copy, value);
        SecretString moved = std::move(copy);
        EXPECT_EQ(moved, value);
        EXPECT_TRUE(copy.empty()); // NOLINT: moved-from is defined as empty
        copy = std::move(moved);
        EXPECT_EQ(copy, value);
        EXPECT_TRUE(moved.empty()); // NOLINT
        copy = "short";
        EXPECT_EQ(copy, "short");
        copy = long_value;
        EXPECT_EQ(copy.str(), long_value);
    }
}

TEST(SecretString, AssigningAPartOfItselfAndClearing)
{
    SecretString secret("user|password-that-is-long-enough-for-the-heap");
    const std::string_view whole = secret;
    secret.assign(whole.substr(5));
    EXPECT_EQ(secret, "password-that-is-long-enough-for-the-heap");
    secret.clear();
    EXPECT_TRUE(secret.empty());
    EXPECT_STREQ(secret.c_str(), "");

    std::string plain = "descrambled value kept in a plain string for a moment";
    const std::size_t capacity = plain.capacity();
    qvcommon::WipeString(plain);
    EXPECT_TRUE(plain.empty());
    EXPECT_EQ(plain.capacity(), capacity); // same buffer, overwritten in place
    EXPECT_EQ(std::string(plain.data(), capacity).find_first_not_of('\0'), std::string::npos);
}

} // namespace
