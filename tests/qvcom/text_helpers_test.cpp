// Text, path, file and date helpers; a base64 file decoded in place; XML
// escaping and unescaping.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "qv/qvcom.h"
#include "qv/qvcom.hpp"
#include "qv_test_support.hpp"

namespace {

using InPlace = char *(*)(char *);

std::string apply(InPlace op, const char *text) {
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, "%s", text);
    return op(buffer);
}

TEST(TextHelpers, TrimsAndQuotes) {
    const struct {
        InPlace op;
        const char *in, *out;
    } cases[] = {
        {com_ltrim, " \t a b \r\n", "a b \r\n"},
        {com_rtrim, " a b \t\r\n", " a b"},
        {com_delspaces, "  a \t  b   c  ", "a b c"},
        {com_delspaces, "\t\t", ""},
        {com_TrimLine, "  <t:Start>\r\n", "<t:Start>"},
        {com_TrimLine, "\r\n", ""},
        {com_Remove_Quotes, "  \"John Doe\" ", "John Doe"},
        {com_Remove_Quotes, "'x'", "x"},
        {com_Remove_Quotes, "\"open only", "\"open only"},
        {com_Remove_Quotes, "\"", "\""},
        {com_Remove_Quotes, "\"'", "\"'"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(apply(c.op, c.in), c.out) << "[" << c.in << "]";
    }
}

TEST(TextHelpers, CaseInsensitiveSearch) {
    const char *text = "Content-Type: Message/RFC822";
    EXPECT_EQ(com_stristr(text, "message/rfc822", 0), text + 14);
    EXPECT_EQ(com_stristr(text, "", 0), text);
    EXPECT_EQ(com_stristr(text, "rfc8222", 0), nullptr);
    EXPECT_EQ(com_stristr("ab", "abc", 0), nullptr);
    EXPECT_EQ(com_stristr(nullptr, "a", 0), nullptr);
}

TEST(TextHelpers, CopiesAndHex) {
    char dest[8];
    EXPECT_STREQ(com_strncpy(dest, "abcdefgh", 3), "abc");
    EXPECT_STREQ(com_strncpy(dest, "ab", 7), "ab");
    const unsigned char bytes[] = {0x00, 0x1f, 0xa0, 0xff};
    char hex[9];
    com_HexString(bytes, hex, sizeof hex, sizeof bytes);
    EXPECT_STREQ(hex, "001fa0ff");
    com_HexString(bytes, hex, 6, sizeof bytes);
    EXPECT_STREQ(hex, "001f") << "cut to whole bytes";
}

TEST(TextHelpers, FolderDelimiterAndFileNames) {
    char path[] = "Inbox/Sub/Deep";
    com_SlashToDelim(path);
    EXPECT_STREQ(path, "Inbox^Sub^Deep");
    com_DelimToSlash(path);
    EXPECT_STREQ(path, "Inbox/Sub/Deep");

    const struct {
        const char *in, *out;
    } names[] = {
        {"re: a/b\\c*?\"<>|.txt", "re_ a_b_c______.txt"},
        {"tab\there\x7f", "tab_here_"},
        {"..", "__"},
        {"", ""},
        {"f\xC3\xBCr.pdf", "f\xC3\xBCr.pdf"},
    };
    for (const auto &n : names) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%s", n.in);
        com_MakeValidDosName(buffer, 0);
        EXPECT_STREQ(buffer, n.out);
    }
}

TEST(PathHelpers, ExtensionDirectoryAndSlash) {
    char out[32];
    const struct {
        const char *path, *ext, *dir;
    } cases[] = {
        {"/work/a.b/report.PDF", "PDF", "/work/a.b/"},
        {"C:\\x\\archive.tar.gz", "gz", "C:\\x\\"},
        {"/work/a.b/noext", "", "/work/a.b/"},
        {"name.", "", ""},
    };
    for (const auto &c : cases) {
        com_ExtractFileExt(c.path, out, sizeof out);
        EXPECT_STREQ(out, c.ext) << c.path;
        com_ExtractFileDir(c.path, out, sizeof out);
        EXPECT_STREQ(out, c.dir) << c.path;
    }

    char path[6] = "/tmp";
    EXPECT_EQ(com_AppendSlash(path, sizeof path), 1);
    EXPECT_STREQ(path, "/tmp/");
    EXPECT_EQ(com_AppendSlash(path, sizeof path), 1) << "already ends with one";
    char full[5] = "/tmp";
    EXPECT_EQ(com_AppendSlash(full, sizeof full), 0);
    EXPECT_STREQ(full, "/tmp");
    char empty[4] = "";
    EXPECT_EQ(com_AppendSlash(empty, sizeof empty), 1);
    EXPECT_STREQ(empty, "") << "never the root folder";
}

TEST(FileHelpers, SizeAndCopy) {
    qvtest::TempDir dir;
    const std::string source = dir.file("a.bin");
    qvtest::write_file(source, std::string(1234, '\x01'));
    int64_t size = -1;
    EXPECT_EQ(com_GetFileSize(source.c_str(), &size), 1234);
    EXPECT_EQ(size, 1234);
    EXPECT_EQ(com_GetFileSize(dir.file("absent").c_str(), &size), 0);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(com_GetFileSize(dir.prefix().c_str(), nullptr), 0) << "a folder is no file";

    const std::string copy = dir.file("b.bin");
    qvtest::write_file(copy, "older and longer content than nothing");
    EXPECT_EQ(com_fcopy(source.c_str(), copy.c_str()), 1);
    EXPECT_EQ(qvtest::read_file(copy), qvtest::read_file(source));
    EXPECT_EQ(com_fcopy(source.c_str(), source.c_str()), 0);
    EXPECT_EQ(com_GetFileSize(source.c_str(), nullptr), 1234) << "never truncated onto itself";
    EXPECT_EQ(com_fcopy(dir.file("absent").c_str(), copy.c_str()), 0);
}

TEST(Dates, UnixConversionsAndOffsets) {
    const struct {
        int64_t unix_seconds;
        qv_filetime ticks;
    } cases[] = {
        {0, 116444736000000000ULL},
        {1796569200, 116444736000000000ULL + 1796569200ULL * 10000000ULL},
        {-86400, 116444736000000000ULL - 864000000000ULL},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(com_UnixToFileTime(c.unix_seconds), c.ticks);
        EXPECT_EQ(com_FileTimeToUnix(c.ticks), c.unix_seconds);
        EXPECT_EQ(com_FileTimeToUnix(c.ticks + 9999999), c.unix_seconds) << "rounds down";
    }
    EXPECT_EQ(com_UnixToFileTime(-11644473600LL), 0u);

    qv_filetime date = com_UnixToFileTime(3600);
    com_OffsetFileTimeVal(&date, -90);
    EXPECT_EQ(com_FileTimeToUnix(date), 3600 - 90 * 60);
    qv_filetime none = 0;
    com_OffsetFileTimeVal(&none, 60);
    EXPECT_TRUE(com_DateIsNull(none));
    qv_filetime early = 5;
    com_OffsetFileTimeVal(&early, -1);
    EXPECT_FALSE(com_DateIsNull(early)) << "never wraps or turns into no date";

    const auto now = std::chrono::system_clock::now();
    const qv_filetime ft_now = com_FileTimeNow();
    EXPECT_LT(std::chrono::abs(qvcom::to_time_point(ft_now) - now), std::chrono::seconds(2));
    EXPECT_EQ(qvcom::to_filetime(qvcom::to_time_point(ft_now)), ft_now);
    EXPECT_EQ(qvcom::to_time_point(0), std::chrono::system_clock::time_point::min());
    EXPECT_EQ(qvcom::to_time_point(~0ULL), std::chrono::system_clock::time_point::max());
    EXPECT_EQ(qvcom::to_filetime(std::chrono::system_clock::time_point{}),
              com_UnixToFileTime(0));
}

TEST(Dates, DisplayAndLogText) {
    qvtest::TempDir dir;
    qvtest::LogCapture log(dir);
    com_LogFileTime("start", com_UnixToFileTime(1796569200)); // 2026-12-06 15:00:00 UTC
    com_LogFileTime("null", 0);
    EXPECT_TRUE(log.has("start: 2026-12-06 15:00:00 UTC\n")) << log.text();
    EXPECT_TRUE(log.has("null: 1601-01-01 00:00:00 UTC\n")) << log.text();

    char shown[40] = "x";
    com_DateDisplayText(0, shown, sizeof shown);
    EXPECT_STREQ(shown, "");
    const std::pair<const char *, const char *> shown_in[] = {
        {"UTC", "Sun, 06 Dec 2026 15:04"}, {"Asia/Tokyo", "Mon, 07 Dec 2026 00:04"}};
    for (const auto &[zone, expected] : shown_in) {
        qvtest::ScopedEnv tz("TZ", zone); // shown in local time
        tzset();
        com_DateDisplayText(com_UnixToFileTime(1796569200 + 4 * 60), shown, sizeof shown);
        EXPECT_STREQ(shown, expected);
    }
    tzset();
}

// Decoding a base64 file in place.
using qvtest::base64_encode;
using qvtest::sample_bytes;

TEST(Base64File, LargerThanTheWindowWithLineBreaksAndPadding) {
    qvtest::TempDir dir;
    // Sizes ending in 1 and 2 padding characters and none; the last one is
    // too large to be decoded in memory and goes through 64 KB windows.
    for (size_t size : {300 * 1024 + 1, 300 * 1024 + 2, 900 * 1024 + 3}) {
        const std::string data = sample_bytes(size);
        const std::string path = dir.file("part.b64");
        qvtest::write_file(path, base64_encode(data, 76));
        EXPECT_EQ(com_convert_base64(path.c_str(), dir.prefix().c_str()),
                  static_cast<int64_t>(size));
        EXPECT_EQ(qvtest::read_file(path), data) << size;
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.prefix()),
                            std::filesystem::directory_iterator()),
              1)
        << "no temporary file left behind";
}

TEST(Base64File, StopsAtPaddingOrAForeignCharacter) {
    qvtest::TempDir dir;
    const struct {
        const char *encoded;
        const char *decoded;
    } cases[] = {
        {"aGVsbG8=\r\n--boundary--\r\n", "hello"},
        {"aGVs\n bG8h\t\n", "hello!"},
        {"aGVsbG8h*garbage", "hello!"},
        {"aGVsbA", "hell"}, // unpadded end
        {"", ""},
    };
    for (const auto &c : cases) {
        const std::string path = dir.file("x.b64");
        qvtest::write_file(path, c.encoded);
        EXPECT_EQ(com_convert_base64(path.c_str(), ""), static_cast<int64_t>(strlen(c.decoded)));
        EXPECT_EQ(qvtest::read_file(path), c.decoded) << c.encoded;
    }
}

TEST(Base64File, MissingFileOrUnwritableFolderLosesNothing) {
    qvtest::TempDir dir;
    EXPECT_EQ(com_convert_base64(dir.file("absent").c_str(), dir.prefix().c_str()), -1);
    // A large file needs a work file in the work folder; a small one is
    // decoded in memory and needs none.
    const std::string path = dir.file("keep.b64");
    const std::string large = base64_encode(sample_bytes(900 * 1024), 76);
    qvtest::write_file(path, large);
    EXPECT_EQ(com_convert_base64(path.c_str(), "/nonexistent-qvcom-dir/"), -1);
    EXPECT_EQ(qvtest::read_file(path), large);
    qvtest::write_file(path, "aGVsbG8=");
    EXPECT_EQ(com_convert_base64(path.c_str(), "/nonexistent-qvcom-dir/"), 5);
    EXPECT_EQ(qvtest::read_file(path), "hello");
}

// XML escaping and unescaping in place.
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
