// Texts on their way into requests: what XML 1.0 cannot carry is left out,
// bodies survive "]]>", and field cuts never split a character.
#include <gtest/gtest.h>

#include <libxml/parser.h>

#include <optional>
#include <string>
#include <vector>

#include "common/xml_escape.hpp"
#include "common/xml_request_text.hpp"

namespace {

using namespace qvcommon;
using namespace std::string_literals;

// The text of element <a> around `inner` as libxml2 reads it; nothing
// when libxml2 does not accept `inner` as the content of an element.
std::optional<std::string> ContentAsXml(const std::string &inner)
{
    const std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>" + inner + "</a>";
    xmlDocPtr parsed = xmlReadMemory(doc.data(), static_cast<int>(doc.size()), "t.xml", nullptr,
                                     XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!parsed)
        return std::nullopt;
    xmlChar *content = xmlNodeGetContent(xmlDocGetRootElement(parsed));
    std::string text(content ? reinterpret_cast<const char *>(content) : "");
    xmlFree(content);
    xmlFreeDoc(parsed);
    return text;
}

TEST(XmlRequestText, ForbiddenCharactersAndBrokenUtf8AreLeftOut)
{
    struct Case {
        std::string in, out;
    };
    const std::vector<Case> cases = {
        {"plain text", "plain text"},
        {"tab\tcr\rlf\n kept", "tab\tcr\rlf\n kept"},
        {"nul\0 and \x01\x08\x0B\x0C\x1F gone"s, "nul and  gone"},
        {"\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80 kept", "\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80 kept"},
        {"U+FFFE \xEF\xBF\xBE U+FFFF \xEF\xBF\xBF U+FFFD \xEF\xBF\xBD",
         "U+FFFE  U+FFFF  U+FFFD \xEF\xBF\xBD"},
        {"lone surrogate \xED\xA0\x80!", "lone surrogate !"},
        {"stray \x80\xBF continuation", "stray  continuation"},
        {"overlong \xC0\xAF \xE0\x80\xAF slash", "overlong   slash"},
        {"latin-1 caf\xE9!", "latin-1 caf!"},
        {"past U+10FFFF \xF4\x90\x80\x80.", "past U+10FFFF ."},
        {"cut at the end \xE2\x82", "cut at the end "},
        {"\x7F and C1 \xC2\x85 stay", "\x7F and C1 \xC2\x85 stay"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.in);
        const std::string out = XmlRequestText(c.in);
        EXPECT_EQ(out, c.out);
        EXPECT_TRUE(ContentAsXml(XmlEscaped(out)));
    }
    EXPECT_EQ(XmlRequestEscaped("a<b & \"c\"\x01"), "a&lt;b &amp; &quot;c&quot;");
}

TEST(XmlRequestText, PiecesJoinAcrossCutSequences)
{
    // A euro sign and an emoji cut between pieces come through whole.
    const std::string text = "\xE2\x82\xAC x \xF0\x9F\x98\x80 \x02y";
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        XmlCharFilter filter;
        std::string out = filter.Feed(text.substr(0, cut));
        out += filter.Feed(text.substr(cut));
        filter.Finish();
        EXPECT_EQ(out, "\xE2\x82\xAC x \xF0\x9F\x98\x80 y") << "cut at " << cut;
    }
}

TEST(CdataSections, EveryEndMarkerIsSplit)
{
    EXPECT_EQ(CdataSections("x"), "<![CDATA[x]]>");
    EXPECT_EQ(CdataSections(""), "<![CDATA[]]>");
    EXPECT_EQ(CdataSections("a]]>b"), "<![CDATA[a]]]]><![CDATA[>b]]>");
    for (const std::string text : {"]]>", "a]]>b]]>c", "]]]]>>", "x]]", "<tag>&amp;</tag>"}) {
        SCOPED_TRACE(text);
        // The text comes back whole when the sections are read.
        EXPECT_EQ(ContentAsXml(CdataSections(text)), text);
    }
}

TEST(Utf8Cut, FieldsAreCutBetweenCharacters)
{
    const std::string umlauts = "\xC3\xA4\xC3\xB6\xC3\xBC"; // three two-byte letters
    EXPECT_EQ(Utf8Prefix(umlauts, 6), umlauts);
    EXPECT_EQ(Utf8Prefix(umlauts, 5), "\xC3\xA4\xC3\xB6");
    EXPECT_EQ(Utf8Prefix(umlauts, 1), "");
    EXPECT_EQ(Utf8Prefix("abc", 2), "ab");

    char field[8];
    CopyToField(field, std::string(249, 'a') + "\xE2\x82\xAC", 250);
    EXPECT_STREQ(field, "aaaaaaa"); // the field's own capacity rules first
    char wide[512];
    const std::string long_text = std::string(249, 'a') + "\xE2\x82\xAC" + "tail";
    CopyToField(wide, long_text, 250);
    EXPECT_EQ(std::string(wide), std::string(249, 'a')); // the euro sign would cross 250
    CopyToField(wide, std::string(248, 'b') + "\xC3\xA4z", 250);
    EXPECT_EQ(std::string(wide), std::string(248, 'b') + "\xC3\xA4");
}

} // namespace
