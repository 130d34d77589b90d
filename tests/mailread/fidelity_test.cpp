// What a read message keeps of its source: the parts a sender wrote stay
// the parts of the record, with their names, kinds and bytes.  Each case
// is a message that lost or changed something before.
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
    std::string Corpus(const std::string &name)
    {
        return conntest::ReadFile(std::string(QV_TEST_DATA_DIR) + "/corpus/" + name);
    }
};

// Kinds 1 and 14: text parts after the body, report parts and text of
// other types stay inline parts; the parts of a digest are messages.
TEST_F(FidelityTest, InlinePartsStayInlineWithTheirTypes)
{
    ASSERT_EQ(ParseText(Corpus("kinds/01-inline-text-parts.eml")), 0);
    const std::vector<PartView> mixed = Parts();
    ASSERT_EQ(mixed.size(), 4u) << Dump();
    EXPECT_EQ(mixed[0].type, QV_PART_TEXT_BODY);
    EXPECT_EQ(mixed[1].type, QV_PART_INLINE_TEXT);
    EXPECT_EQ(mixed[1].bytes, "Second note: nothing was decided.\r\n");
    EXPECT_EQ(mixed[2].type, QV_PART_ATTACHMENT);
    EXPECT_EQ(mixed[3].type, QV_PART_INLINE_TEXT);

    Reset();
    const std::string report = Corpus("kinds/14-delivery-report.eml");
    ASSERT_EQ(ParseText(report), 0);
    ASSERT_EQ(Parts().size(), 3u) << Dump();
    EXPECT_EQ(Parts()[1].type, QV_PART_INLINE_TEXT);
    EXPECT_EQ(Parts()[1].name, "delivery-status.txt");
    const std::size_t status = report.find("Reporting-MTA");
    EXPECT_EQ(Parts()[1].bytes, report.substr(status, report.find("\n--rep14", status) - status));
    EXPECT_EQ(Parts()[2].name, "rfc822-headers.txt");

    Reset();
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

    Reset();
    ASSERT_EQ(ParseText(Corpus("python-email/msg_30.eml")), 0);
    ASSERT_EQ(Parts().size(), 2u) << Dump();
    for (const PartView &p : Parts())
        EXPECT_EQ(p.type, QV_PART_EMBEDDED_MSG);
    EXPECT_STREQ(msg->parts[2]->sub_message->subject, "ee");
}

// Kinds 4, 2 and 3: parameters in RFC 2231 form or with blanks, and header
// blocks that run into their content without a blank line.
TEST_F(FidelityTest, UnusualStructureIsStillRead)
{
    ASSERT_EQ(ParseText(Corpus("kinds/04-rfc2231-parameters.eml")), 0);
    ASSERT_EQ(Parts().size(), 2u) << Dump();
    EXPECT_EQ(Parts()[0].type, QV_PART_TEXT_BODY);
    EXPECT_STREQ(msg->parts[1]->charset, "UTF-8");
    EXPECT_EQ(Parts()[1].name, "notes.txt");
    EXPECT_EQ(Parts()[1].bytes, "attached notes\n");

    Reset();
    ASSERT_EQ(ParseText("From: a@x\nContent-Type: multipart/mixed; boundary = \"q r\"\n\n"
                        "--q r\nContent-Type: text/plain\n\none\n--q r--\n"),
              0);
    ASSERT_EQ(Parts().size(), 1u) << Dump();
    EXPECT_EQ(Parts()[0].bytes, "one");

    Reset();
    ASSERT_EQ(ParseText(Corpus("kinds/02-header-no-blank-line.eml")), 0);
    ASSERT_EQ(Parts().size(), 1u) << Dump();
    EXPECT_EQ(Parts()[0].bytes.rfind("counter to RFC 2822", 0), 0u) << Parts()[0].bytes;
    EXPECT_EQ(Part(0).find("counter"), std::string::npos) << "not in the header block";

    Reset();
    ASSERT_EQ(ParseText(Corpus("kinds/03-part-no-blank-line.eml")), 0);
    ASSERT_EQ(Parts().size(), 2u) << Dump();
    EXPECT_EQ(Parts()[1].bytes, "bar");

    Reset(); // a message whose first line is no header is still read
    ASSERT_EQ(ParseText("just text\nmore\n"), 0);
    EXPECT_GE(msg->part_count, 1);
}

// Kinds 5, 6, 10 and 11: files arrive with their names and exact bytes.
TEST_F(FidelityTest, FilesKeepNamesAndBytes)
{
    const std::string signed_text = Corpus("kinds/05-attachment-line-ends.eml");
    ASSERT_EQ(ParseText(signed_text), 0);
    ASSERT_EQ(Parts().size(), 2u) << Dump();
    const std::size_t sig = signed_text.find("-----BEGIN");
    EXPECT_EQ(Parts()[1].bytes, signed_text.substr(sig, signed_text.find("\n\n--sig-05--") + 1 - sig));

    Reset();
    ASSERT_EQ(ParseText(Corpus("kinds/06-same-name-attachments.eml")), 0);
    ASSERT_EQ(Parts().size(), 2u) << Dump();
    for (const PartView &p : Parts()) {
        EXPECT_EQ(p.type, QV_PART_ATTACHMENT);
        EXPECT_EQ(p.name, "notes.txt");
    }
    EXPECT_EQ(Parts()[1].bytes, "The second notes, another text.\n");

    const std::string hello = "Hello, world! This is a uuencoded file.\nIt has two\n";
    for (const char *name : {"kinds/10-uuencode.eml", "kinds/10-uuencode-in-body.eml"}) {
        Reset();
        ASSERT_EQ(ParseText(Corpus(name)), 0);
        const std::vector<PartView> parts = Parts();
        ASSERT_EQ(parts.size(), 2u) << name << "\n" << Dump();
        EXPECT_EQ(parts[1].type, QV_PART_ATTACHMENT) << name;
        EXPECT_EQ(parts[1].name, "hello.txt") << name;
        EXPECT_EQ(parts[1].bytes, hello) << name;
        EXPECT_EQ(parts[0].bytes.find("begin 644"), std::string::npos) << name;
    }
    EXPECT_EQ(Parts()[0].bytes, "Here it is:\r\n\r\n\r\nRegards, Ann\r\n");

    Reset(); // a broken block stays text
    ASSERT_EQ(ParseText("From: a@x\n\nbegin 644 x.bin\nnot uuencoded at all\nend\n"), 0);
    ASSERT_EQ(Parts().size(), 1u) << Dump();
    EXPECT_NE(Parts()[0].bytes.find("begin 644 x.bin"), std::string::npos);

    Reset();
    ASSERT_EQ(ParseText(Corpus("kinds/11-only-part-attachment.eml")), 0);
    ASSERT_EQ(Parts().size(), 1u) << Dump();
    EXPECT_EQ(Parts()[0].type, QV_PART_ATTACHMENT);
    EXPECT_EQ(Parts()[0].name, "backup.tar.gz");
    EXPECT_EQ(Parts()[0].bytes.substr(0, 2), "\x1f\x8b") << "gzip bytes, decoded";
}

// Kinds 7, 9 and 15: short bodies, undeclared UTF-8, UTF-8 addresses.
TEST_F(FidelityTest, TextAndAddressesKeepTheirCharacters)
{
    ASSERT_EQ(ParseText(Corpus("kinds/07-two-byte-body.eml")), 0);
    EXPECT_EQ(Parts()[0].type, QV_PART_TEXT_BODY);
    EXPECT_EQ(Parts()[0].bytes, "OK");

    Reset();
    ASSERT_EQ(ParseText("From: a@x\nContent-Type: multipart/mixed; boundary=b\n\n--b\n\n\r\n--b\n"
                        "Content-Type: text/html\n\n\n\n--b--\n"),
              0);
    for (const PartView &p : Parts())
        EXPECT_EQ(p.type, QV_PART_NOT_WRITTEN) << "line ends only: " << Dump();

    Reset();
    ASSERT_EQ(ParseText(Corpus("kinds/09-inline-text-charset.eml")), 0);
    ASSERT_EQ(Parts().size(), 2u) << Dump();
    EXPECT_EQ(Parts()[1].bytes, "Gr\xc3\xbc\xc3\x9f" "e aus K\xc3\xb6ln, \xe2\x82\xac 5.\n");
    EXPECT_STREQ(msg->parts[2]->charset, "UTF-8");

    Reset(); // undeclared bytes that are no UTF-8 are Latin-1
    ASSERT_EQ(ParseText("From: a@x\n\ncaf\xe9\n"), 0);
    EXPECT_EQ(Parts()[0].bytes, "caf\xc3\xa9\r\n");

    Reset();
    ASSERT_EQ(ParseText(Corpus("kinds/15-utf8-addresses.eml")), 0);
    EXPECT_STREQ(msg->from_address, "jos\xc3\xa9@ex\xc3\xa4mple.de");
    ASSERT_EQ(msg->recipient_count, 2);
    EXPECT_STREQ(msg->recipients[0]->address, "j\xc3\xbcrgen@ex\xc3\xa4mple.de");
    EXPECT_STREQ(msg->recipients[1]->address, "plain@example.de");
}

// Kinds 8 and 13: groups, empty or not, and comments anywhere in a list.
TEST_F(FidelityTest, GroupsTravelAsMarksAroundTheirMembers)
{
    ASSERT_EQ(ParseText(Corpus("kinds/13-groups-and-comments.eml")), 0);
    std::vector<std::string> got;
    for (int i = 0; i < msg->recipient_count; ++i)
        got.push_back(std::to_string(msg->recipients[i]->kind) + " " + msg->recipients[i]->name +
                      " <" + msg->recipients[i]->address + ">");
    const std::vector<std::string> want = {
        "3 A Group: <>",       "3 Chris Jones <c@public.example>", "3  <joe@example.org>",
        "3 John <jdoe@one.test>", "3 ; <>",                       "11 Hidden recipients:; <>"};
    EXPECT_EQ(got, want);
    EXPECT_STREQ(msg->from_address, "pete@silly.test");

    Reset();
    ASSERT_EQ(ParseText(Corpus("kinds/08-empty-group.eml")), 0);
    ASSERT_EQ(msg->recipient_count, 1);
    EXPECT_STREQ(msg->recipients[0]->name, "Undisclosed-Recipients:;");
    EXPECT_STREQ(msg->recipients[0]->address, "");

    Reset(); // quoted ":" and ";" belong to names; an unclosed group still ends
    ASSERT_EQ(ParseText("From: a@x\nTo: \"a: b; c\" <q@x>, G: m@x\n\nbody\n"), 0);
    ASSERT_EQ(msg->recipient_count, 4);
    EXPECT_STREQ(msg->recipients[0]->name, "a: b; c");
    EXPECT_STREQ(msg->recipients[1]->name, "G:");
    EXPECT_STREQ(msg->recipients[2]->address, "m@x");
    EXPECT_STREQ(msg->recipients[3]->name, ";");
}

} // namespace
} // namespace mailread_test
