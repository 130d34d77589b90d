// Logical lines: line ends, unfolding rules, the header copy, the limit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mailread/mail_input.hpp"
#include "mailread/parser_limits.hpp"
#include "parse_fixture.hpp"

namespace {

using namespace qvamz::mailread;
using mailread_test::MemoryStream;

std::vector<std::string> lines_of(const std::string &text, bool unfold, std::string *copy = nullptr)
{
    MemoryStream in(text);
    ParseTree tree;
    MailInput input(in.file, tree);
    char *copy_buf = nullptr;
    size_t copy_size = 0;
    FILE *copy_file = copy ? open_memstream(&copy_buf, &copy_size) : nullptr;
    std::vector<std::string> lines;
    while (ReadHeaderLine(input, copy_file, unfold, 0) == 0)
        lines.push_back(input.line);
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

} // namespace
