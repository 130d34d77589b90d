// XML escaping and unescaping in place.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "qv/qvcom.h"
#include "qv/qvcom.hpp"

namespace {

TEST(XmlEscape, Table) {
    const struct {
        const char *in, *out;
    } cases[] = {
        {"plain", "plain"},
        {"a & b", "a &amp; b"},
        {"<t:Subject>", "&lt;t:Subject&gt;"},
        {"say \"hi\" 'x'", "say &quot;hi&quot; &apos;x&apos;"},
        {"&amp;", "&amp;amp;"},
        {"Gr\xC3\xBC\xC3\x9F" "e", "Gr\xC3\xBC\xC3\x9F" "e"},
        {"", ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(qvcom::xml_escape(c.in), c.out) << c.in;
        EXPECT_EQ(qvcom::xml_unescape(c.out), c.in) << c.out;
    }
}

TEST(XmlEscape, CutAtCapacityNeverSplitsAnEntityOrCharacter) {
    const struct {
        const char *in;
        size_t capacity;
        const char *out;
        int result;
    } table[] = {
        {"a&b", 8, "a&amp;b", 1},  // exactly fits
        {"a&b", 7, "a&amp;", 0},   // "b" does not fit
        {"a&b", 6, "a", 0},        // "&amp;" would be cut: left out whole
        {"ab<", 4, "ab", 0},       // no room for "&lt;"
        {"x\xC3\xBC", 3, "x", 0},  // the two-byte "u umlaut" is not split
        {"x\xC3\xBC", 4, "x\xC3\xBC", 1},
        {"abc", 1, "", 0},
    };
    for (const auto &c : table) {
        char buffer[32] = {};
        std::snprintf(buffer, sizeof buffer, "%s", c.in);
        EXPECT_EQ(com_Escape(buffer, c.capacity, 1), c.result) << c.in << " in " << c.capacity;
        EXPECT_STREQ(buffer, c.out) << c.in << " in " << c.capacity;
        EXPECT_LT(std::strlen(buffer), c.capacity);
    }
}

TEST(XmlUnescape, NumericReferences) {
    const struct {
        const char *in, *out;
    } cases[] = {
        {"&#65;&#x42;&#X43;", "ABC"},
        {"caf&#233;", "caf\xC3\xA9"},
        {"&#x20AC;", "\xE2\x82\xAC"},
        {"&#128512;", "\xF0\x9F\x98\x80"},
        {"&#x10FFFF;", "\xF4\x8F\xBF\xBF"},
        {"&#0;", "&#0;"},
        {"&#xD800;", "&#xD800;"},
        {"&#x110000;", "&#x110000;"},
        {"&#99999999999999999999;", "&#99999999999999999999;"},
        {"&#;&#x;&#12", "&#;&#x;&#12"},
        {"&#x1G;", "&#x1G;"},
        {"&nbsp; &AMP; &amp", "&nbsp; &AMP; &amp"},
        {"&&lt;", "&<"},
        {"&amp;lt;", "&lt;"}, // one level only
    };
    for (const auto &c : cases) {
        EXPECT_EQ(qvcom::xml_unescape(c.in), c.out) << c.in;
    }
}

} // namespace
