// The parser's read-ahead: line ends and give-backs that straddle a block,
// positions and seeks across blocks, and the stream left where parsing
// stopped.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "mailread/mail_input.hpp"
#include "parse_fixture.hpp"

namespace {

using namespace qvamz::mailread;
using mailread_test::MemoryStream;

constexpr std::size_t kBlock = 64 * 1024; // the reader's block

// Every line of `text` with the line end that ended it.
std::vector<std::pair<std::string, std::string>> lines_of(const std::string &text)
{
    MemoryStream in(text);
    ParseTree tree;
    MailInput input(in.file, tree);
    std::vector<std::pair<std::string, std::string>> lines;
    while (ReadHeaderLine(input, nullptr, false, 0) == 0)
        lines.emplace_back(input.line, input.line_end);
    return lines;
}

TEST(MailInput, LineEndsAcrossABlockEdgeReadAsWithinOne)
{
    // CR CR LF, CR CR followed by text, and a lone CR, each placed so that
    // the block ends at every character of them in turn.
    const std::string tail = "\r\r\nb\r\rc\nd\re\tf\n";
    const std::vector<std::pair<std::string, std::string>> after = {
        {"b", "\r"}, {"", "\r"}, {"c", "\n"}, {"d", "\r"}, {"e f", "\n"}};
    for (std::size_t shift = 0; shift < 8; ++shift) {
        const std::string first(kBlock - 4 + shift, 'a');
        const auto lines = lines_of(first + tail);
        ASSERT_EQ(lines.size(), 1 + after.size()) << shift;
        EXPECT_EQ(lines[0].first, first) << shift;
        EXPECT_EQ(lines[0].second, "\r\r\n") << shift;
        for (std::size_t i = 0; i < after.size(); ++i)
            EXPECT_EQ(lines[i + 1], after[i]) << shift << " line " << i + 1;
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
