// Scrambled switch values: what the host writes, the plug-in must restore
// byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "qv/qvcom.h"
#include "qv_test_support.hpp"

namespace {

// The plug-in's restoring rule.
using qvtest::descramble;

std::string scramble(const std::string &plain) {
    std::string out(2 * plain.size() + 2, '\0');
    EXPECT_EQ(qvcom_scramble(plain.c_str(), out.data(), out.size()), 1);
    out.resize(std::char_traits<char>::length(out.c_str()));
    return out;
}

TEST(Scramble, EveryByteValueRoundTripsAtEveryKeyPosition) {
    for (int shift = 0; shift < 26; ++shift) {
        std::string plain(static_cast<size_t>(shift), 'p');
        for (int b = 1; b < 256; ++b) {
            plain.push_back(static_cast<char>(b));
        }
        const std::string scrambled = scramble(plain);
        ASSERT_EQ(scrambled.size(), 1 + 2 * plain.size());
        ASSERT_EQ(scrambled[0], '~');
        EXPECT_EQ(scrambled.find_first_not_of("0123456789abcdef", 1), std::string::npos);
        EXPECT_EQ(descramble(scrambled), plain) << "shift " << shift;
    }
}

TEST(Scramble, StoredValuesStayReadable) {
    // Job files keep scrambled values: the table must never change (all 26
    // entries and the wrap to the first are pinned).
    EXPECT_EQ(scramble("Pa55w\xC3\xB6rd! for the 26 key bytes"),
              "~614a3a5b6ce09274721a4153897029557d5745173cf9778474387362798b68");
    EXPECT_EQ(scramble(""), "~");
    EXPECT_EQ(qvcom_scramble_key(-1), qvcom_scramble_key(25)) << "a position before the first";
}

TEST(Scramble, RefusesAShortBuffer) {
    char out[6] = "zzzzz";
    EXPECT_EQ(qvcom_scramble("abc", out, sizeof out), 0) << "needs 8 bytes";
    EXPECT_STREQ(out, "");
    EXPECT_EQ(qvcom_scramble(nullptr, out, sizeof out), 0);
}

} // namespace
