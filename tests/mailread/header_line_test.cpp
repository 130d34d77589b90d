// Logical lines: line ends, unfolding rules, the header copy, the limit;
// and the read-ahead under them: line ends that straddle a block, positions
// and seeks across blocks, and the stream left where parsing stopped.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mailread/mail_input.hpp"
#include "mailread/parser_limits.hpp"
#include "parse_fixture.hpp"

namespace {

using namespace qvamz::mailread;
using mailread_test::MemoryStream;

// The logical lines of `text`; with `copy`, the header copy too, and with
// `ends`, the line end that ended each line.
std::vector<std::string> lines_of(const std::string &text, bool unfold, std::string *copy = nullptr,
                                  std::vector<std::string> *ends = nullptr)
{
    MemoryStream in(text);
    ParseTree tree;
    MailInput input(in.file, tree);
    char *copy_buf = nullptr;
    size_t copy_size = 0;
    FILE *copy_file = copy ? open_memstream(&copy_buf, &copy_size) : nullptr;
    std::vector<std::string> lines;
    while (ReadHeaderLine(input, copy_file, unfold, 0) == 0) {
        lines.push_back(input.line);
        if (ends)
            ends->push_back(input.line_end);
    }
    if (copy_file) {
        std::fclose(copy_file);
        copy->assign(copy_buf, copy_size);
        free(copy_buf);
    }
    return lines;
}

using Lines = std::vector<std::string>;

TEST(HeaderLine, LineEndsAndTabs)
{
    const std::pair<std::string, Lines> cases[] = {
        {"a\nb\n", {"a", "b"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\rb", {"a", "b"}},
        {"a\r\r\nb", {"a", "b"}},
        {"a\r\rb", {"a", "", "b"}},
        {"a\tb\n", {"a b"}},
        {"last line without end", {"last line without end"}},
        {"\n\n", {"", ""}},
        {std::string("nul\0byte\n", 9), {std::string("nul\0byte", 8)}},
    };
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(lines_of(text, false), expected) << text;
}

TEST(HeaderLine, UnfoldingJoinsByTheKindOfHeader)
{
    const std::pair<std::string, Lines> cases[] = {
        // Subject, To, From, Cc: a single blank.
        {"Subject: first\n   second\nX: y\n", {"Subject: first second", "X: y"}},
        {"To: a@x,\n\tb@x\n", {"To: a@x, b@x"}},
        {"From: A\n B <a@x>\n", {"From: A B <a@x>"}},
        {"cc: a@x,\n b@x\n", {"cc: a@x, b@x"}},
        // Others: a semicolon, and no blank.
        {"Received: from a\n by b;\n Mon, 1 Jan 2026\n", {"Received: from a;by b;;Mon, 1 Jan 2026"}},
        // An open quote or a line ending in "=" joins with a blank...
        {"Content-Type: text/plain; name=\"long\n name.txt\"\n", {"Content-Type: text/plain; name=\"long name.txt\""}},
        {"X-A: =?utf-8?q?a?=\n b\n", {"X-A: =?utf-8?q?a?= b"}},
        // ...left out when the continuation itself starts with "=".
        {"Subject: =?utf-8?q?a?=\n =?utf-8?q?b?=\n", {"Subject: =?utf-8?q?a?==?utf-8?q?b?="}},
        // An empty line is never continued.
        {"\n a\n", {"", " a"}},
    };
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(lines_of(text, true), expected) << text;
}

TEST(HeaderLine, TwentySecondSemicolonJoinStartsANewLine)
{
    std::string text = "X-Long: 0\n";
    for (int i = 1; i <= kMaxSemicolonJoins + 2; ++i)
        text += " " + std::to_string(i) + "\n";
    const Lines lines = lines_of(text, true);
    ASSERT_EQ(lines.size(), 2u);
    std::string first = "X-Long: 0";
    for (int i = 1; i <= kMaxSemicolonJoins; ++i)
        first += ";" + std::to_string(i);
    EXPECT_EQ(lines[0], first);
    EXPECT_EQ(lines[1], std::to_string(kMaxSemicolonJoins + 1) + ";" +
                            std::to_string(kMaxSemicolonJoins + 2));
}

TEST(HeaderLine, CopyKeepsRawLinesAndOneBlankOfEachFold)
{
    std::string copy;
    lines_of("Subject: a\tb\r\n \t  c\r\nX: y\r\n", true, &copy);
    EXPECT_EQ(copy, "Subject: a\tb\n c\nX: y\n");
}

TEST(HeaderLine, LongLinesAreCutAndTheRestSkipped)
{
    const std::string text = std::string(kLineMax + 5000, 'a') + "\nnext\n";
    std::string copy;
    const Lines lines = lines_of(text, false, &copy);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), kLineMax);
    EXPECT_EQ(lines[1], "next");
    EXPECT_EQ(copy.size(), kHeaderCopyLineMax + 1 + 5);
}

TEST(HeaderLine, StartOffsetKeepsWhatStandsBefore)
{
    MemoryStream in("second\n");
    ParseTree tree;
    MailInput input(in.file, tree);
    input.line = "first=";
    ASSERT_EQ(ReadHeaderLine(input, nullptr, false, 5), 0);
    EXPECT_EQ(input.line, "firstsecond");
    EXPECT_EQ(ReadHeaderLine(input, nullptr, false, 0), 1);
}

constexpr std::size_t kBlock = 64 * 1024; // the reader's block

TEST(MailInput, LineEndsAcrossABlockEdgeReadAsWithinOne)
{
    // CR CR LF, CR CR followed by text, and a lone CR, each placed so that
    // the block ends at every character of them in turn.
    for (std::size_t shift = 0; shift < 8; ++shift) {
        const std::string first(kBlock - 4 + shift, 'a');
        Lines ends;
        EXPECT_EQ(lines_of(first + "\r\r\nb\r\rc\nd\re\tf\n", false, nullptr, &ends),
                  (Lines{first, "b", "", "c", "d", "e f"}))
            << shift;
        EXPECT_EQ(ends, (Lines{"\r\r\n", "\r", "\r", "\n", "\r", "\n"})) << shift;
    }
}

TEST(MailInput, SeekBackAcrossBlocksAndSyncLeaveTheStreamInPlace)
{
    std::string text;
    for (int i = 0; i < 30000; ++i) // about 300 KB, several blocks
        text += "line " + std::to_string(i) + "\r\n";
    MemoryStream in(text);
    ParseTree tree;
    MailInput input(in.file, tree);
    std::vector<std::pair<std::int64_t, std::string>> marks;
    for (int i = 0; ReadHeaderLine(input, nullptr, false, 0) == 0; ++i) {
        if (i % 7001 == 0)
            marks.emplace_back(input.tell(), "");
        if (!marks.empty() && marks.back().second.empty() && i % 7001 == 1)
            marks.back().second = input.line;
    }
    ASSERT_EQ(marks.size(), 5u);
    // Backwards, so each seek leaves the block read last.
    for (auto it = marks.rbegin(); it != marks.rend(); ++it) {
        ASSERT_TRUE(input.seek(it->first));
        EXPECT_EQ(input.tell(), it->first);
        ASSERT_EQ(ReadHeaderLine(input, nullptr, false, 0), 0);
        EXPECT_EQ(input.line, it->second);
    }
    // A reader that goes on without the parser starts at the next line.
    input.sync();
    EXPECT_EQ(std::ftell(in.file), static_cast<long>(input.tell()));
    char next[16] = {};
    ASSERT_TRUE(std::fgets(next, sizeof next, in.file));
    EXPECT_STREQ(next, "line 2\r\n");
}

} // namespace
