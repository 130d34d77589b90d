// Code page numbers and charset names both ways, and text and file
// conversion through them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qv/qvcom.h"
#include "qv_test_support.hpp"

namespace {

int codepage_of(const char *name)
{
    std::string buf(name);
    return com_iso_codepage(0, buf.data(), buf.size() + 1);
}

std::string name_of(int codepage)
{
    char buf[64] = "junk";
    com_iso_codepage(codepage, buf, sizeof buf);
    return buf;
}

// The names each code page is written as are read back below; here the
// other spellings, aliases and labels agents use.
TEST(Codepages, AliasesMapToWindowsCodePages)
{
    const std::pair<const char *, int> cases[] = {
        {"ISO_8859-1", 28591},   {"latin1", 28591},         {"\"iso-8859-2\"", 28592},
        {"iso-8859-16", 28606},  {"cp1252", 1252},          {"Windows-1258", 1258},
        {"KOI8-R", 20866},       {"x-sjis", 932},           {"windows-31j", 932},
        {"ks_c_5601-1987", 949}, {"gbk", 936},              {"utf8", 65001},
        {"UTF-16BE", 1201},      {"ansi_x3.4-1968", 20127}, {"tis-620", 874},
        {"hz-gb-2312", 52936},   {"x-unknown-charset", 0},  {"", 0},
    };
    for (const auto &[name, codepage] : cases)
        EXPECT_EQ(codepage_of(name), codepage) << name;
}

TEST(Codepages, CodePagesMapToNamesThatMapBack)
{
    const int codepages[] = {20127, 28591, 28592, 28595, 28597, 28599, 28605, 1250, 1251,
                             1252,  1253,  1254,  1255,  1256,  1257,  1258,  874,   20866,
                             21866, 50220, 50225, 932,   51932, 949,   51949, 936,   54936,
                             950,   65000, 65001, 1200,  1201,  866,   437,   850};
    for (int codepage : codepages) {
        const std::string name = name_of(codepage);
        EXPECT_FALSE(name.empty()) << codepage;
        EXPECT_EQ(codepage_of(name.c_str()), codepage) << name;
    }
    EXPECT_EQ(name_of(28591), "iso-8859-1");
    EXPECT_EQ(name_of(65001), "utf-8");
    EXPECT_EQ(com_iso_codepage(99999, nullptr, 0), 0);
    EXPECT_EQ(name_of(99999), "");
}

std::string convert(const std::string &text, int from, int to, int *result = nullptr,
                    size_t capacity = 256)
{
    std::vector<char> buf(capacity, '\0');
    text.copy(buf.data(), std::min(text.size(), capacity - 1));
    const int r = com_CodepageToWindows(buf.data(), buf.size(), from, to);
    if (result)
        *result = r;
    return buf.data();
}

TEST(Codepages, UnknownCodePageLeavesTextAndFailsWhileCuttingReports)
{
    int result = 1;
    EXPECT_EQ(convert("caf\xE9", 4242, 65001, &result), "caf\xE9");
    EXPECT_EQ(result, 0);
    // Six characters that each need two bytes do not fit in 8 bytes.
    const std::string cut = convert("\xE9\xE9\xE9\xE9\xE9\xE9", 28591, 65001, &result, 8);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(cut, "\xC3\xA9\xC3\xA9\xC3\xA9");
    // Known pages convert both ways.
    EXPECT_EQ(convert("\x80", 1252, 65001), "\xE2\x82\xAC");
    EXPECT_EQ(convert("\xD0\x9F\xD1\x80\xD0\xB8", 65001, 20866), "\xF0\xD2\xC9");
}

TEST(Codepages, CharsetToUtf8FallsBackForUnknownLabels)
{
    const std::tuple<const char *, std::string, std::string> cases[] = {
        {"iso-8859-1", "caf\xE9", "caf\xC3\xA9"},
        {"x-unknown", "caf\xC3\xA9", "caf\xC3\xA9"}, // valid UTF-8 stays
        {"x-unknown", "caf\xE9", "caf\xC3\xA9"},     // else windows-1252
        {"", "\x93q\x94", "\xE2\x80\x9Cq\xE2\x80\x9D"},
        {"gb2312", "\x81\x40", "\xE4\xB8\x82"}, // a GBK character under a gb2312 label
    };
    for (const auto &[charset, in, out] : cases) {
        std::vector<char> buf(64, '\0');
        in.copy(buf.data(), in.size());
        EXPECT_EQ(com_CharsetToUTF8(charset, buf.data(), buf.size()), 1);
        EXPECT_EQ(std::string(buf.data()), out) << charset;
    }
}

TEST(Codepages, FileConversionKeepsStatefulAndWideTextWhole)
{
    qvtest::TempDir dir;
    // UTF-16 with a byte order mark: every line feed is a 0A 00 pair.
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("Zeile 1\nZeile 2\n"))
        utf16 += std::string{c, '\0'};
    qvtest::write_file(dir.file("u16"), utf16);
    ASSERT_EQ(com_ConvertFileToUTF8(dir.file("u16").c_str(), dir.file("out").c_str(), "utf-16"), 1);
    EXPECT_EQ(qvtest::read_file(dir.file("out")), "Zeile 1\nZeile 2\n");

    // ISO-2022-JP longer than one read: shift sequences span the reads.
    const std::string line = "\x1B$B%F%9%H\x1B(B abc\n";
    std::string jis, expected;
    for (int i = 0; i < 3000; ++i) {
        jis += line;
        expected += "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88 abc\n";
    }
    qvtest::write_file(dir.file("jis"), jis);
    ASSERT_EQ(com_ConvertFileToUTF8(dir.file("jis").c_str(), dir.file("out").c_str(), "iso-2022-jp"), 1);
    EXPECT_EQ(qvtest::read_file(dir.file("out")), expected);
    // The same path for both: converted in place, not truncated before reading.
    ASSERT_EQ(com_ConvertFileToUTF8(dir.file("jis").c_str(), dir.file("jis").c_str(), "iso-2022-jp"), 1);
    EXPECT_EQ(qvtest::read_file(dir.file("jis")), expected);

    EXPECT_EQ(com_ConvertFileToUTF8(dir.file("missing").c_str(), dir.file("out").c_str(), "utf-8"), 0);
}

} // namespace
