// The answer reformatting: every tag ends a line, text stands alone, and
// the result does not depend on how the network splits the answer.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "test_support.hpp"
#include "transport/http_post.hpp"
#include "transport/response_writer.hpp"

namespace {

using qvamz::TagLineFormatter;

std::string FormatWhole(const std::string &answer)
{
    TagLineFormatter formatter;
    std::string out;
    formatter.Feed(answer, out);
    return out;
}

TEST(TagLineFormatter, KnownAnswers)
{
    struct Case {
        const char *answer;
        const char *expected;
    };
    const Case cases[] = {
        {"", ""},
        {"plain", "plain"},
        {"<e/>", "<e/>\r\n"},
        {"<t:Id Id=\"a&gt;b\"/>", "<t:Id Id=\"a&gt;b\"/>\r\n"},
        {"<a>one two</a><b/>", "<a>\r\none two\r\n</a>\r\n<b/>\r\n"},
        {"<?xml version=\"1.0\"?><s>v</s>", "<?xml version=\"1.0\"?>\r\n<s>\r\nv\r\n</s>\r\n"},
        {"<a>tail", "<a>\r\ntail"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(FormatWhole(c.answer), c.expected) << c.answer;
}

// Whatever the split, the bytes on disk are those of the whole answer.
TEST(TagLineFormatter, AnySplitGivesTheSameBytes)
{
    const std::string answers[] = {
        "<a><b>x</b></a>",
        "<m:FindFolderResponse><t:Folder><t:DisplayName>In &amp; Out</t:DisplayName>"
        "<t:TotalCount>7</t:TotalCount></t:Folder></m:FindFolderResponse>",
        "<x>1</x>2<y>3</y>",
    };
    for (const std::string &answer : answers) {
        const std::string whole = FormatWhole(answer);
        for (std::size_t split = 0; split <= answer.size(); ++split) {
            TagLineFormatter formatter;
            std::string out;
            formatter.Feed(answer.substr(0, split), out);
            formatter.Feed(answer.substr(split), out);
            EXPECT_EQ(out, whole) << answer << " split at " << split;
        }
        TagLineFormatter bytewise;
        std::string out;
        for (const char c : answer)
            bytewise.Feed(std::string(1, c), out);
        EXPECT_EQ(out, whole) << answer << " byte by byte";
    }
}

TEST(WriteCallback, WithoutResponseFileTakesEverythingAndWritesNothing)
{
    qvamz::TransferFiles files;
    char data[] = "<a>x</a>";
    EXPECT_EQ(qvamz::WriteCallback(data, 1, 8, &files), 8u);
    EXPECT_EQ(qvamz::WriteCallback(data, 2, 4, nullptr), 8u);
}

TEST(WriteCallback, AFailedDiskWriteFailsTheTransfer)
{
    FILE *full = std::fopen("/dev/full", "wb");
    if (!full)
        GTEST_SKIP() << "/dev/full is not available";
    std::setvbuf(full, nullptr, _IONBF, 0);
    qvamz::TransferFiles files;
    files.response = full;
    char data[] = "<a>x</a>";
    EXPECT_EQ(qvamz::WriteCallback(data, 1, 8, &files), 0u);
    std::fclose(full);
}

} // namespace
