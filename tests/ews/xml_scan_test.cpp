// The scanning routines on answers as the transport stores them (CR LF,
// one tag or value per line).
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ews/xml_scan.hpp"
#include "frame/session.hpp"
#include "qv_test_support.hpp"
#include "test_support.hpp"

namespace {

using namespace qvamz;

TEST(ParseEwsDateTime, Forms)
{
    struct Case {
        const char *text;
        int ok;
        qv_filetime expected;
    };
    const Case cases[] = {
        {"2024-03-05T14:07:09Z", 1, qvtest::filetime_utc(2024, 3, 5, 14, 7, 9)},
        {"2024-03-05T14:07Z", 1, qvtest::filetime_utc(2024, 3, 5, 14, 7, 0)},
        {"2024-03-05T14:07:09.123Z", 1, qvtest::filetime_utc(2024, 3, 5, 14, 7, 9)},
        {"2024-03-05-14:07:09", 1, qvtest::filetime_utc(2024, 3, 5, 14, 7, 9)},
        {"1601-01-01T00:00:00Z", 1, 0},
        {"2024-03-05", 0, 0},
        {"2024-03-05T14", 0, 0},
        {"garbage", 0, 0},
        {"2024-13-05T14:07:09Z", 0, 0},
        {"", 0, 0},
    };
    for (const Case &c : cases) {
        qv_filetime out = 99;
        EXPECT_EQ(ParseEwsDateTime(c.text, out), c.ok) << c.text;
        EXPECT_EQ(out, c.expected) << c.text;
    }
}

TEST(NextBufferLine, WalksLinesAndEndsOnce)
{
    // Every line up to the end, then the line left by the end.
    const auto lines = [](const std::string &buffer) {
        const char *cursor = buffer.c_str();
        std::vector<std::string> out;
        std::string line = "stale";
        while (NextBufferLine(cursor, line) == 0)
            out.push_back(line);
        out.push_back(line);
        return out;
    };
    using Lines = std::vector<std::string>;
    EXPECT_EQ(lines("first\r\nsec\xC2\xA0ond\nlast"), (Lines{"first", "sec ond", "last", ""}));
    // The empty line after the last LF is a line.
    EXPECT_EQ(lines("a\n"), (Lines{"a", "", ""}));
}

const std::string kContact =
    "<t:Contact>\r\n<t:Subject>\r\nTom &amp; Jerry\r\n</t:Subject>\r\n"
    "<t:DisplayName>\r\n\xE2\x80\x8BZed\xC2\xA0Z\r\n</t:DisplayName>\r\n"
    "<t:EmailAddresses>\r\n<t:Entry Key=\"EmailAddress1\">\r\ntom@example.com\r\n</t:Entry>\r\n"
    "<t:Entry Key=\"EmailAddress2\"/>\r\n</t:EmailAddresses>\r\n"
    "<t:PhysicalAddresses>\r\n<t:Entry Key=\"Business\">\r\n<t:Street>\r\n1 Main St\r\n"
    "</t:Street>\r\n<t:City>\r\nSpringfield\r\n</t:City>\r\n</t:Entry>\r\n"
    "<t:Entry Key=\"Home\">\r\n<t:State/>\r\n<t:City>\r\nShelbyville\r\n</t:City>\r\n</t:Entry>\r\n"
    "</t:PhysicalAddresses>\r\n<t:Empty>\r\n</t:Empty>\r\n</t:Contact>\r\n";

TEST(GetElementValue, Values)
{
    struct Case {
        const char *name;
        const char *key;
        std::size_t max;
        int found;
        const char *value;
    };
    const Case cases[] = {
        {"Subject", "", 255, 1, "Tom & Jerry"},
        {"Subject", "", 5, 1, "Tom &"}, // cut before entities are undone
        {"DisplayName", "", 255, 1, "Zed Z"},
        {"Empty", "", 255, 1, ""},
        {"Missing", "", 255, 0, ""},
        {"", "EmailAddress1", 255, 1, "tom@example.com"},
        {"City", "Business", 255, 1, "Springfield"},
        {"Street", "Business", 255, 1, "1 Main St"},
        {"City", "Home", 255, 1, "Shelbyville"},
        {"State", "Home", 255, 0, ""},     // "<t:State/>" ends the search
        {"Street", "Home", 255, 0, ""},    // not inside this entry
        {"City", "Other", 255, 0, ""},
    };
    for (const Case &c : cases) {
        std::string out = "stale";
        EXPECT_EQ(GetElementValue(kContact.c_str(), c.name, out, c.max, c.key), c.found)
            << c.name << "/" << c.key;
        EXPECT_EQ(out, c.value) << c.name << "/" << c.key;
    }
    std::string out;
    EXPECT_EQ(GetElementValue(nullptr, "Subject", out, 10), 0);
}

TEST(GetElementValue, KeyOnTheLastLine)
{
    const std::string buffer = "<t:Entry Key=\"EmailAddress1\">";
    std::string out;
    EXPECT_EQ(GetElementValue(buffer.c_str(), "", out, 100, "EmailAddress1"), 0);
}

TEST(ParseCategories, JoinsTheNames)
{
    auto msg = std::make_unique<qv_message>();
    const std::string buffer =
        "<t:Categories>\r\n<t:String>\r\nRed\r\n</t:String>\r\n<t:String>\r\n"
        "R&amp;D\r\n</t:String>\r\n</T:CATEGORIES>\r\n<t:String>\r\nNot\r\n";
    EXPECT_EQ(ParseCategories(buffer.c_str(), msg.get()), 1);
    EXPECT_STREQ(msg->categories, "Red;R&D");

    EXPECT_EQ(ParseCategories("<t:Subject>\r\nx\r\n", msg.get()), 0);
    EXPECT_STREQ(msg->categories, "Red;R&D");

    std::string many = "<t:Categories>\r\n";
    for (int i = 0; i < 100; ++i)
        many += "<t:String>\r\ncategory" + std::to_string(i) + "\r\n</t:String>\r\n";
    EXPECT_EQ(ParseCategories(many.c_str(), msg.get()), 1);
    EXPECT_EQ(std::string(msg->categories).size(), kCategoriesMax);
    EXPECT_TRUE(std::string(msg->categories).starts_with("category0;category1;"));
}

TEST(RemoveElement, DropsTheFirstSubTree)
{
    std::string buffer = "<t:A>\r\n<t:Body>\r\n<t:Subject>\r\nin\r\n</t:Subject>\r\n</t:Body>\r\n"
                         "<t:Subject>\r\nout\r\n</t:Subject>\r\n";
    RemoveElement(buffer, "Body");
    EXPECT_EQ(buffer, "<t:A>\r\n\r\n<t:Subject>\r\nout\r\n</t:Subject>\r\n");
    RemoveElement(buffer, "Missing");
    EXPECT_EQ(buffer, "<t:A>\r\n\r\n<t:Subject>\r\nout\r\n</t:Subject>\r\n");
    std::string unclosed = "<t:Body>\r\nx";
    RemoveElement(unclosed, "Body");
    EXPECT_EQ(unclosed, "<t:Body>\r\nx");
}

class FileScanTest : public conntest::SessionTest {
  protected:
    conntest::ScratchDir dir;
};

TEST_F(FileScanTest, ExtractItemIdReturnsSuccessiveItems)
{
    const std::string path = dir.file("items.xml");
    conntest::WriteFile(path,
                        "<t:Items>\r\n<t:Message>\r\n<t:ItemId Id=\"AAA=\" ChangeKey=\"CK1\"/>\r\n"
                        "</t:Message>\r\n<t:ItemID Id=\"BBB\"/>\r\n<t:ItemId/>\r\n");
    FILE *file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    std::string id, change_key;
    EXPECT_EQ(ExtractItemId(file, id, change_key), 1);
    EXPECT_EQ(id + " " + change_key, "AAA= CK1");
    EXPECT_EQ(ExtractItemId(file, id, change_key), 1);
    EXPECT_EQ(id + " " + change_key, "BBB ");
    EXPECT_EQ(ExtractItemId(file, id, change_key), 0);
    EXPECT_EQ(id, "");
    std::fclose(file);
}

// The element's name matches without case, an unpadded last group still
// gives its bytes, and IsRead is left alone when the answer has none.  (The
// usual answers, with IsRead true or false: ItemAnswerInMemory compares
// this reader with the one in memory; attachments: DownloadTest.)
TEST_F(FileScanTest, ExtractBase64ElementDecodesWhileReading)
{
    const std::string in = dir.file("answer.xml"), out = dir.file("out.bin");
    conntest::WriteFile(in, "<t:mimecontent>\r\nSGk\r\n");
    int is_read = -1;
    EXPECT_EQ(ExtractBase64Element(in, out, "MimeContent", &is_read), 1);
    EXPECT_EQ(conntest::ReadFile(out), "Hi");
    EXPECT_EQ(is_read, -1);
    EXPECT_EQ(ExtractBase64Element(dir.file("absent.xml"), dir.file("o"), "Content", nullptr), 0);
}

TEST(Base64DecodeInPlace, DecodesIntoItsOwnStorage)
{
    char text[] = "SGVs\r\nbG8g\n d29y bGQ=";
    EXPECT_EQ(Base64DecodeInPlace(text), 11u);
    EXPECT_EQ(std::string(text, 11), "Hello world");
    EXPECT_EQ(text[11], '\0');

    std::string big(100000, 'A'); // 75000 zero bytes encoded
    EXPECT_EQ(Base64DecodeInPlace(big.data()), kBase64InPlaceMax);
    EXPECT_EQ(Base64DecodeInPlace(nullptr), 0u);
}

TEST_F(FileScanTest, WriteBodyElementWritesTheTextBodyAsCdata)
{
    session.state.work_dir = dir.dir();
    auto msg = std::make_unique<qv_message>();
    qv_part html{}, text{};
    html.part_type = QV_PART_HTML_BODY, text.part_type = QV_PART_TEXT_BODY;
    msg->parts[0] = &html, msg->parts[1] = &text;
    msg->part_count = 2, msg->msg_number = 7;
    const std::string part_file = dir.file("PRT00701.TMP");
    const std::string request = dir.file("request.xml");
    auto write = [&](const std::string &body) {
        conntest::WriteFile(part_file, body);
        FILE *out = std::fopen(request.c_str(), "wb");
        const int result = WriteBodyElement(out, msg.get(), session.state.work_dir);
        std::fclose(out);
        return result;
    };
    EXPECT_EQ(write("0123456789"), 0); // ten bytes are not a body
    EXPECT_EQ(conntest::ReadFile(request), "");
    // "]]>" in the text would end the section: it is split, also where it
    // straddles two reads.  (A short body: WriteTest.ContactRequestAndItsAttachments.)
    std::string long_text(4094, 'x');
    EXPECT_EQ(write(long_text + "]]>tail ]]>"), 1);
    EXPECT_EQ(conntest::ReadFile(request),
              "<t:Body BodyType=\"Text\"><![CDATA[" + long_text +
                  "]]]]><![CDATA[>tail ]]]]><![CDATA[>]]></t:Body>\n");

    msg->part_count = 1;
    EXPECT_EQ(write("a long enough body"), 0); // no text part
}

} // namespace
