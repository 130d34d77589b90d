// What a read message keeps of its source: the parts a sender wrote stay
// the parts of the record, with their names, kinds and bytes.  Each case
// is a message that lost or changed something before.  (The messages of
// tests/data/corpus go through the whole copy in tests/differential.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parse_fixture.hpp"

namespace mailread_test {
namespace {

struct PartView {
    int type;
    std::string name;
    std::string bytes;
};

class FidelityTest : public ParserTest {
  protected:
    std::vector<PartView> Parts()
    {
        std::vector<PartView> parts;
        for (int i = 1; i < msg->part_count; ++i)
            parts.push_back({msg->parts[i]->part_type, msg->parts[i]->file_name, Part(i)});
        return parts;
    }
    std::string Dump()
    {
        std::string out;
        for (const PartView &p : Parts())
            out += std::to_string(p.type) + " [" + p.name + "] " + std::to_string(p.bytes.size()) +
                   " bytes: " + p.bytes.substr(0, 60) + "\n";
        return out;
    }
};

TEST_F(FidelityTest, TypedPartsAndOddStructureAreKept)
{
    ASSERT_EQ(ParseText("From: a@x\nContent-Type: multipart/mixed; boundary=b\n\n--b\n"
                        "Content-Type: text/enriched; charset=iso-8859-1\n\n<bold>x\tb\xe9</bold>\n"
                        "--b\nContent-Type: text/plain\n\nplain\n--b--\n"),
              0);
    ASSERT_EQ(Parts().size(), 2u) << Dump();
    EXPECT_EQ(Parts()[0].type, QV_PART_INLINE_TEXT) << "a typed part is never the body";
    EXPECT_EQ(Parts()[0].name, "Inline.enriched");
    EXPECT_EQ(Parts()[0].bytes, "<bold>x\tb\xe9</bold>") << "bytes and tabs as sent";
    EXPECT_STREQ(msg->parts[1]->charset, "iso-8859-1");
    EXPECT_EQ(Parts()[1].type, QV_PART_TEXT_BODY);

    Reset(); // blanks around "=" and inside the boundary
    ASSERT_EQ(ParseText("From: a@x\nContent-Type: multipart/mixed; boundary = \"q r\"\n\n"
                        "--q r\nContent-Type: text/plain\n\none\n--q r--\n"),
              0);
    ASSERT_EQ(Parts().size(), 1u) << Dump();
    EXPECT_EQ(Parts()[0].bytes, "one");

    Reset(); // text without any header is all body
    ASSERT_EQ(ParseText("// just text\n\tmore\n"), 0);
    ASSERT_EQ(Parts().size(), 1u) << Dump();
    EXPECT_EQ(Parts()[0].bytes, "// just text\r\n more\r\n");
    Reset();
    EXPECT_EQ(ParseText("\n\n"), 1) << "no text at all is no message";

    Reset(); // a broken uuencoded block stays text
    ASSERT_EQ(ParseText("From: a@x\n\nbegin 644 x.bin\nnot uuencoded at all\nend\n"), 0);
    ASSERT_EQ(Parts().size(), 1u) << Dump();
    EXPECT_NE(Parts()[0].bytes.find("begin 644 x.bin"), std::string::npos);
}

TEST_F(FidelityTest, TextAndNamesKeepTheirCharacters)
{
    ASSERT_EQ(ParseText("From: a@x\nContent-Type: multipart/mixed; boundary=b\n\n--b\n\n\r\n--b\n"
                        "Content-Type: text/html\n\n\n\n--b--\n"),
              0);
    for (const PartView &p : Parts())
        EXPECT_EQ(p.type, QV_PART_NOT_WRITTEN) << "line ends only: " << Dump();

    Reset(); // undeclared bytes that are no UTF-8 are Latin-1
    ASSERT_EQ(ParseText("From: a@x\n\ncaf\xe9\n"), 0);
    EXPECT_EQ(Parts()[0].bytes, "caf\xc3\xa9\r\n");

    Reset(); // quoted ":" and ";" belong to names; an unclosed group still ends
    ASSERT_EQ(ParseText("From: a@x\nTo: \"a: b; c\" <q@x>, G: m@x\n\nbody\n"), 0);
    ASSERT_EQ(msg->recipient_count, 4);
    EXPECT_STREQ(msg->recipients[0]->name, "a: b; c");
    EXPECT_STREQ(msg->recipients[1]->name, "G:");
    EXPECT_STREQ(msg->recipients[2]->address, "m@x");
    EXPECT_STREQ(msg->recipients[3]->name, ";");

    Reset(); // entities in a MIME header are text, plain or inside encoded words
    ASSERT_EQ(ParseText("From: =?utf-8?Q?M=C3=BCller_&amp;_Co?= <m@x>\n"
                        "To: \"Q&amp;A &lt;d&gt;\" <qa@x>\nSubject: Fish &amp; Chips &#65;\n\nbody\n"),
              0);
    EXPECT_STREQ(msg->subject, "Fish &amp; Chips &#65;");
    EXPECT_STREQ(msg->from_name, "M\xC3\xBCller &amp; Co");
    ASSERT_EQ(msg->recipient_count, 1);
    EXPECT_STREQ(msg->recipients[0]->name, "Q&amp;A &lt;d&gt;");
}

} // namespace
} // namespace mailread_test
