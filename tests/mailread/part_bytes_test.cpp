// Part files the finishing steps read once: text left alone is exactly
// what the charset converter would have written, a rewrite through the
// held descriptor leaves only the new bytes, and bytes in memory give the
// same answers as the file read line by line.
#include <cstdio>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "mailread/body_finish.hpp"
#include "mailread/parser_limits.hpp"
#include "mailread/part_bytes.hpp"
#include "mailread/rfc822_parser.hpp"
#include "qv/qvcom.hpp"
#include "qv_test_support.hpp"

namespace qvamz::mailread {
namespace {

using qvtest::read_file;
using qvtest::write_file;

TEST(PartBytesTest, TextLeftAloneIsWhatTheConverterWouldWrite)
{
    qvtest::TempDir dir;
    const std::string path = dir.file("part.txt");
    struct Case {
        const char *charset;
        std::string bytes;
        bool kept;
    };
    const Case cases[] = {
        {"utf-8", "\xEF\xBB\xBF" "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xEF\xBF\xBF \xF4\x8F\xBF\xBF",
         true},
        {"UTF8", std::string("nul\0inside and a long ASCII run past eight bytes", 48), true},
        {"us-ascii", "ascii only", true},
        {"iso-8859-1", "ascii only", true},
        {"utf-8", "\xC0\xAF overlong", false},
        {"utf-8", "\xE0\x80\xAF overlong", false},
        {"utf-8", "\xED\xA0\x80 surrogate", false},
        {"utf-8", "\xF4\x90\x80\x80 past U+10FFFF", false},
        {"utf-8", "cut short \xE2\x82", false},
        {"utf-8", "stray \x80 continuation", false},
        {"iso-8859-1", "caf\xE9", false},
    };
    for (const Case &c : cases) {
        char charset[64] = {};
        std::snprintf(charset, sizeof charset, "%s", c.charset);
        EXPECT_EQ(ConvertsToItself(c.bytes, charset, sizeof charset), c.kept) << c.bytes;
        write_file(path, c.bytes);
        ASSERT_EQ(com_ConvertFileToUTF8(path.c_str(), path.c_str(), c.charset), 1);
        EXPECT_EQ(read_file(path) == c.bytes, c.kept) << c.bytes;
    }
}

TEST(PartBytesTest, LoadsUpToItsBoundAndRewritesThroughItsDescriptor)
{
    qvtest::TempDir dir;
    const std::string path = dir.file("part.html");
    write_file(path, "0123456789");
    PartBytes part;
    EXPECT_FALSE(part.Load(path, 9));
    EXPECT_FALSE(part.Load(dir.file("missing"), 100));
    ASSERT_TRUE(part.Load(path, 10));
    EXPECT_EQ(part.bytes(), "0123456789");
    ASSERT_TRUE(part.Replace(std::string(70000, 'x')));
    EXPECT_EQ(read_file(path), std::string(70000, 'x'));
    ASSERT_TRUE(part.Replace("abc"));
    EXPECT_EQ(read_file(path), "abc");
    EXPECT_EQ(part.bytes(), "abc");
}

// A meta line read in pieces of the longest line scanned: held in memory
// (small body) or read from the file (large body), the same charset, and
// one cut in two by the piece's end is no meta line.
TEST(PartBytesTest, MetaCharsetIsFoundAlikeInMemoryAndInTheFile)
{
    const std::string meta = "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=koi8-r\">";
    const std::string whole_line = std::string(kHtmlMetaLineMax, 'x') + "\n" + meta + "\n";
    const std::string cut_line = std::string(kHtmlMetaLineMax - 5, 'x') + meta + "\n";
    for (const std::string &padding : {std::string(), std::string(2u << 20, 'p')}) {
        for (const auto &[body, charset] : {std::pair{whole_line, "koi8-r"},
                                            std::pair{cut_line, "ISO-8859-1"}}) {
            qvtest::TempDir dir;
            qv_message msg{};
            msg.msg_number = 3;
            qv_part *part = com_AllocPart(&msg);
            ASSERT_NE(part, nullptr);
            msg.part_count = 1;
            part->part_type = QV_PART_HTML_BODY;
            const std::string path = qvcom::part_file_path(dir.prefix(), 3, 0);
            write_file(path, body + padding);
            part->size = static_cast<std::uint32_t>(body.size() + padding.size());
            ParserSettings settings;
            settings.html_charset_rule = true;
            PostProcessParts(&msg, dir.prefix(), settings);
            EXPECT_STREQ(part->charset, charset) << padding.size();
            const std::string file = read_file(path);
            EXPECT_EQ(file.substr(file.size() - body.size() - padding.size()), body + padding);
            EXPECT_EQ(part->size, file.size());
            com_Deallocate_All(&msg, dir.prefix().c_str());
        }
    }
}

// A text body held for its uuencoded block and then split is let go: the
// charset steps see the text as split, not the bytes read before.
TEST(PartBytesTest, BodySplitForItsUuencodedBlockIsReadAgain)
{
    qvtest::TempDir dir;
    std::unique_ptr<FILE, decltype(&std::fclose)> in(std::tmpfile(), &std::fclose);
    const std::string mail = "From: a@example.org\r\nSubject: s\r\n"
                             "Content-Type: text/plain; charset=utf-8\r\n\r\nHere it is:\r\n"
                             "begin 644 hello.txt\r\n&<R!T=V\\*\r\n`\r\nend\r\nRegards\r\n";
    std::fputs(mail.c_str(), in.get());
    std::rewind(in.get());
    qv_message msg{};
    msg.msg_number = 4;
    ASSERT_EQ(Parse_RFC822_Msg(in.get(), &msg, dir.prefix().c_str(), "", 1, ParserSettings{}), 0);
    ASSERT_EQ(msg.part_count, 3);
    const std::string text = read_file(qvcom::part_file_path(dir.prefix(), 4, 1));
    EXPECT_EQ(text.find("begin"), std::string::npos) << text;
    EXPECT_EQ(msg.parts[1]->size, text.size());
    com_Deallocate_All(&msg, dir.prefix().c_str());
}

} // namespace
} // namespace qvamz::mailread
