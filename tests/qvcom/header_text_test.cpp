// Header text: RFC 2047 encoded words, decoded in every charset family the
// readers meet, and what encoding leaves alone (that encoded text decodes
// back, 7-bit and in short words, the message builder's header records
// check); address lists and mailboxes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "qv/qvcom.h"

namespace {

struct Decoded {
    std::string text;
    int codepage;
};

Decoded decode(const std::string &in, size_t capacity = 4096)
{
    std::vector<char> buf(capacity, '\0');
    in.copy(buf.data(), std::min(in.size(), capacity - 1));
    const int codepage = com_Decode_iso(buf.data(), buf.size(), 0);
    return {buf.data(), codepage};
}

struct DecodeCase {
    const char *in;
    const char *out;
    int codepage;
};

TEST(EncodedWords, DecodesEachEncodingAndCharset)
{
    const DecodeCase cases[] = {
        {"=?iso-8859-1?q?Caf=E9?= au lait", "Caf\xC3\xA9 au lait", 28591},
        {"=?ISO-8859-1?Q?Andr=E9_Meier?=", "Andr\xC3\xA9 Meier", 28591},
        {"=?UTF-8?B?R3LDvMOfZQ==?=", "Gr\xC3\xBC\xC3\x9F" "e", 65001},
        {"=?utf-8?b?R3LDvMOfZQ?=", "Gr\xC3\xBC\xC3\x9F" "e", 65001}, // no padding
        {"=?koi8-r?B?8NLJ18XU?=", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", 20866},
        {"=?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?=", "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88", 50220},
        {"=?gb2312?B?1tDOxA==?=", "\xE4\xB8\xAD\xE6\x96\x87", 936},
        {"=?windows-1251?Q?=CF=F0=E8=E2=E5=F2?=", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", 1251},
        // iso-8859-1 labels are read as windows-1252, as agents mean them
        {"=?iso-8859-1?Q?=93quoted=94?=", "\xE2\x80\x9Cquoted\xE2\x80\x9D", 28591},
        // RFC 2231 language after the charset
        {"=?utf-8*de?Q?Gr=C3=BC=C3=9Fe?=", "Gr\xC3\xBC\xC3\x9F" "e", 65001},
        // an unknown charset reports UTF-8 (its fallback is in Codepages)
        {"=?x-unknown?Q?=E9?=", "\xC3\xA9", 65001},
    };
    for (const auto &c : cases) {
        const Decoded d = decode(c.in);
        EXPECT_EQ(d.text, c.out) << c.in;
        EXPECT_EQ(d.codepage, c.codepage) << c.in;
    }
}

TEST(EncodedWords, BlanksBetweenAdjacentWordsAreDroppedOthersKept)
{
    const std::pair<const char *, const char *> cases[] = {
        {"=?utf-8?q?a?= =?utf-8?q?b?=", "ab"},
        {"=?utf-8?q?a?=\r\n =?utf-8?q?b?=", "ab"},
        {"=?utf-8?q?a?= plain =?utf-8?q?b?=", "a plain b"},
        {"Re: =?utf-8?q?a?=  tail", "Re: a  tail"},
        {"=?utf-8?q?a_?= =?iso-8859-1?q?=E9?=", "a \xC3\xA9"},
    };
    for (const auto &[in, out] : cases)
        EXPECT_EQ(decode(in).text, out) << in;
}

TEST(EncodedWords, CharacterSplitAcrossWordsComesOutWhole)
{
    // "ü" (C3 BC) split over two B words, and a Shift_JIS character split
    // over two Q words.
    EXPECT_EQ(decode("=?UTF-8?B?w7w=?= =?UTF-8?B?vA==?=").text, "\xC3\xBC\xEF\xBF\xBD");
    EXPECT_EQ(decode("=?UTF-8?B?R8M=?= =?UTF-8?B?vGU=?=").text, "G\xC3\xBC" "e");
    EXPECT_EQ(decode("=?Shift_JIS?Q?=83?= =?Shift_JIS?Q?e?=").text, "\xE3\x83\x86");
}

TEST(EncodedWords, MalformedWordsStayAsTheyStand)
{
    const char *const cases[] = {
        "plain text",
        "=?utf-8?x?abc?=",           // unknown encoding
        "=?utf-8?q?never closed",     // no end
        "=??q?abc?=",                 // no charset
        "a =? b ?= c",
    };
    for (const char *in : cases) {
        const Decoded d = decode(in);
        EXPECT_EQ(d.text, in);
        EXPECT_EQ(d.codepage, 0) << in;
    }
}

TEST(EncodedWords, OutputIsCutAtACharacterBoundary)
{
    // 300 bytes of "é" in latin-1: 400 base64 characters in, 600 bytes of
    // UTF-8 out, more than the buffer holds.
    std::string in = "=?iso-8859-1?B?";
    for (int i = 0; i < 100; ++i)
        in += "6enp";
    in += "?=";
    std::vector<char> buf(in.begin(), in.end());
    buf.push_back('\0');
    ASSERT_EQ(com_Decode_iso(buf.data(), buf.size(), 0), 28591);
    const std::string out = buf.data();
    EXPECT_LT(out.size(), buf.size());
    EXPECT_GT(out.size(), in.size() - 2);
    EXPECT_EQ(out.size() % 2, 0u) << "cut inside a character";
    for (size_t i = 0; i < out.size(); i += 2)
        ASSERT_EQ(out.substr(i, 2), "\xC3\xA9");
}

std::string encode(const std::string &in, int codepage, std::string *charset = nullptr)
{
    std::vector<char> buf(4096, '\0');
    in.copy(buf.data(), in.size());
    char cs[32] = "";
    EXPECT_EQ(com_Encode_iso(buf.data(), buf.size(), codepage, cs, sizeof cs), 1);
    if (charset)
        *charset = cs;
    return buf.data();
}

TEST(EncodedWords, EncodeLeavesAsciiAndAddressesAlone)
{
    std::string charset;
    EXPECT_EQ(encode("Plain subject", 0, &charset), "Plain subject");
    EXPECT_EQ(charset, "UTF-8");
    const std::string from = encode("\"J\xC3\xB6rg M\xC3\xBCller\" <joerg@example.com>", 65001);
    EXPECT_NE(from.find("<joerg@example.com>"), std::string::npos);
    EXPECT_EQ(from.front(), '"') << "a quoted name keeps its quotes";
    EXPECT_EQ(from.find("\xC3"), std::string::npos) << "no 8-bit byte is left";
    // Other input is read in the given code page ("Привет" in windows-1251).
    EXPECT_EQ(decode(encode("\xCF\xF0\xE8\xE2\xE5\xF2", 1251)).text,
              "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
    // Each word holds whole characters (RFC 2047, 5): readers that decode
    // word by word would show broken ones otherwise.
    std::string euros = "\xC3\xA9"; // one two-byte character, then three-byte ones
    for (int i = 0; i < 40; ++i)
        euros += "\xE2\x82\xAC";
    const std::string words = encode(euros, 65001);
    std::size_t start = 0, count = 0;
    for (std::size_t end = 0; end != std::string::npos; start = end + 1, ++count) {
        end = words.find(' ', start);
        const std::string decoded = decode(words.substr(start, end - start)).text;
        const std::string text = decoded.substr(decoded.rfind("\xC3\xA9", 0) == 0 ? 2 : 0);
        EXPECT_TRUE(text.size() % 3 == 0 && text.find("\xE2\x82\xAC") == 0) << words;
    }
    EXPECT_GT(count, 1u) << words;
}

// Address lists into mailboxes, mailboxes into name and address.
std::vector<std::string> split(const std::string &list)
{
    std::vector<std::string> out;
    const char *cursor = list.c_str();
    char item[256];
    for (int guard = 0; guard < 100; ++guard) {
        const int more = com_Extract_Adr(&cursor, item, sizeof item);
        out.emplace_back(item);
        if (!more)
            break;
    }
    return out;
}

TEST(Addresses, ListsSplitOutsideQuotesCommentsAndBrackets)
{
    using List = std::vector<std::string>;
    const std::pair<const char *, List> cases[] = {
        {"a@x.org", {"a@x.org"}},
        {"a@x.org, b@x.org", {"a@x.org", "b@x.org"}},
        {"\"Doe, John\" <j@x.org>, b@x.org", {"\"Doe, John\" <j@x.org>", "b@x.org"}},
        {"j@x.org (Doe, John), b@x.org", {"j@x.org (Doe, John)", "b@x.org"}},
        {"<@relay,@other:j@x.org>, b@x.org", {"<@relay,@other:j@x.org>", "b@x.org"}},
        {"Team: a@x.org, b@x.org;, c@x.org", {"a@x.org", "b@x.org", "", "c@x.org"}},
        {"undisclosed-recipients:;", {""}},
        {"a@x.org; b@x.org", {"a@x.org", "b@x.org"}},
        {"=?utf-8?q?Doe=2C_J:?= <j@x.org>", {"=?utf-8?q?Doe=2C_J:?= <j@x.org>"}},
        {"\"a\\\"b, c\" <q@x.org>", {"\"a\\\"b, c\" <q@x.org>"}},
        {"a@x.org,", {"a@x.org"}},
    };
    for (const auto &[list, expected] : cases)
        EXPECT_EQ(split(list), expected) << list;
}

struct MailboxCase {
    const char *text;
    const char *name;
    const char *address;
};

TEST(Addresses, MailboxesSplitIntoNameAndAddress)
{
    const MailboxCase cases[] = {
        {"John Doe <john@x.org>", "John Doe", "john@x.org"},
        {"\"Doe, John\" <john@x.org>", "Doe, John", "john@x.org"},
        {"\"Say \\\"hi\\\"\"  <h@x.org>", "Say \"hi\"", "h@x.org"},
        {"<john@x.org>", "", "john@x.org"},
        {"john@x.org", "", "john@x.org"},
        {"john@x.org (John Doe)", "John Doe", "john@x.org"},
        {"(no one else) gil@x.org (Gil)", "Gil", "gil@x.org"}, // the comment after the address
        {"John   (the boss)   Doe <john@x.org>", "John Doe", "john@x.org"},
        {"<@relay.x.org:john@x.org>", "", "john@x.org"},
        {"postmaster", "", "postmaster"},
        {"Just A Name", "Just A Name", ""},
        {"\"john@x.org\" <john@x.org>", "john@x.org", "john@x.org"},
        {"()", "", ""},
        {"", "", ""},
    };
    for (const auto &c : cases) {
        char name[128] = "junk", address[128] = "junk";
        com_ExtractMIMEAddr(c.text, name, sizeof name, address, sizeof address);
        EXPECT_STREQ(name, c.name) << c.text;
        EXPECT_STREQ(address, c.address) << c.text;
    }
}

TEST(Addresses, OutputsAreCutToTheirCapacity)
{
    char name[6], address[5];
    EXPECT_EQ(com_ExtractMIMEAddr("Jonathan <jon@x.org>", name, sizeof name, address, sizeof address), 1);
    EXPECT_STREQ(name, "Jonat");
    EXPECT_STREQ(address, "jon@");
    EXPECT_EQ(com_ExtractMIMEAddr(nullptr, name, sizeof name, nullptr, 0), 0);
}

} // namespace
