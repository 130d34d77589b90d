// The shared text and codec helpers, at their edges: what the plug-in and
// libqvcom both rely on.  Days-from-civil is pinned by DateParse's dates
// (1900, 1970, a leap day) in the qvcom tests.
#include <gtest/gtest.h>

#include <string>

#include "common/base64.hpp"
#include "common/hex.hpp"
#include "common/text_case.hpp"
#include "common/xml_escape.hpp"

namespace {

using namespace qvcommon;

TEST(TextCase, AsciiOnlyAndBounds)
{
    EXPECT_TRUE(EqualsNoCase("Content-Type", "content-TYPE"));
    EXPECT_FALSE(EqualsNoCase("\xC3\x84", "\xC3\xA4")); // bytes above 0x7F compare exactly
    EXPECT_FALSE(EqualsNoCase("abc", "abcd"));
    EXPECT_TRUE(StartsWithNoCase("<T:ItemId Id=", "<t:itemid"));
    EXPECT_FALSE(StartsWithNoCase("<t:Item", "<t:ItemId"));
    EXPECT_EQ(FindNoCase("a BoUnDaRy=x", "boundary="), 2u);
    EXPECT_EQ(FindNoCase("abcabc", "ABC", 1), 3u);
    EXPECT_EQ(FindNoCase("abc", "", 3), 3u);
    EXPECT_EQ(FindNoCase("abc", "", 4), std::string::npos);
    EXPECT_EQ(FindNoCase("ab", "abc"), std::string::npos);
}

TEST(Hex, DigitsAndPercentDecoding)
{
    EXPECT_EQ(HexDigitValue('7'), 7);
    EXPECT_EQ(HexDigitValue('f'), 15);
    EXPECT_EQ(HexDigitValue('F'), 15);
    EXPECT_EQ(HexDigitValue('g'), -1);
    EXPECT_EQ(PercentDecoded("s%40cret%2F"), "s@cret/");
    EXPECT_EQ(PercentDecoded("100%"), "100%");
    EXPECT_EQ(PercentDecoded("%4"), "%4");
    EXPECT_EQ(PercentDecoded("%zz%41"), "%zzA");
}

TEST(Base64, EncodeDecodeAndPartialBytes)
{
    EXPECT_EQ(Base64Encode(""), "");
    EXPECT_EQ(Base64Encode("f"), "Zg==");
    EXPECT_EQ(Base64Encode("fo"), "Zm8=");
    EXPECT_EQ(Base64Encode("foo"), "Zm9v");
    EXPECT_EQ(Base64Encode(std::string("\xFF\x00\x80", 3)), "/wCA");
    EXPECT_EQ(Base64Decode("Zm9v YmFy"), "foobar"); // blanks inside are skipped
    EXPECT_EQ(Base64Decode("Zg==Zm8="), "f");         // decoding ends at the padding
    EXPECT_EQ(Base64Decode("Zm9vY"), "foo");          // six bits are no byte
    EXPECT_EQ(Base64Decode(Base64Encode(std::string("\x01\xFE\x7F\x80", 4))),
              std::string("\x01\xFE\x7F\x80", 4));
}

TEST(XmlEscape, QuotesByUse)
{
    EXPECT_EQ(XmlEscaped("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c&apos;");
    EXPECT_EQ(XmlEscaped("\"'", EscapeQuotes::kDouble), "&quot;'");
    EXPECT_EQ(XmlEscaped("<\"'>", EscapeQuotes::kNone), "&lt;\"'&gt;");
    EXPECT_EQ(EntityFor('x'), nullptr);
}

} // namespace
