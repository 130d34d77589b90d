// Text bodies (CopyBodyText) and the base64 writer.  (Header lines with
// their continuations are copied in MimeHeaders' thread headers record.)
#include <gtest/gtest.h>

#include "mailwrite/base64_writer.hpp"
#include "mailwrite_test_support.hpp"

namespace mwtest {
namespace {

std::string CopyText(const WorkDir &dir, std::string_view content)
{
    WriteFile(dir.file("in.txt"), std::string(content));
    std::FILE *out = std::fopen(dir.file("out.txt").c_str(), "wb");
    EXPECT_EQ(qvamz::CopyBodyText(out, dir.file("in.txt")), 0);
    std::fclose(out);
    return ReadFile(dir.file("out.txt"));
}

TEST(CopyBodyText, LinesEndInCrlfAndAMissingFileAnswersOne)
{
    WorkDir dir;
    struct Case {
        std::string in, out;
    };
    std::vector<Case> cases = {
        {"a\nb\n", "a\r\nb\r\n\r\n"}, // the last empty line keeps the final line end
        {"a\r\nb", "a\r\nb\r\n"},
        {"a\rb\r", "a\r\nb\r\n\r\n"}, // a lone CR ends a line and loses nothing
        {"a\r\rb", "a\r\n\r\nb\r\n"},
        {"", "\r\n"},
        // No mbox is involved: nothing is quoted.
        {"From me\n>From you\n", "From me\r\n>From you\r\n\r\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(CopyText(dir, c.in), c.out) << c.in;

    std::FILE *out = std::fopen(dir.file("out.txt").c_str(), "wb");
    EXPECT_EQ(qvamz::CopyBodyText(out, dir.file("absent.txt")), 1);
    std::fclose(out);
    EXPECT_EQ(ReadFile(dir.file("out.txt")), "");
}

TEST(CopyBodyText, LongLinesBreakBeforeTheLimit)
{
    WorkDir dir;
    std::string exact(qvamz::kBodyLineMax, 'x');
    EXPECT_EQ(CopyText(dir, exact + "\n"), exact + "\r\n\r\n");
    EXPECT_EQ(CopyText(dir, exact + "yz"), exact + "\r\nyz\r\n");
}

std::string Encode(const WorkDir &dir, const std::string &data, qvamz::Base64Lines lines,
                   std::size_t piece)
{
    std::FILE *out = std::fopen(dir.file("b64.txt").c_str(), "wb");
    {
        qvamz::Base64Writer writer(out, lines);
        for (std::size_t at = 0; at < data.size(); at += piece)
            writer.Write(data.data() + at, std::min(piece, data.size() - at));
        writer.Finish();
        EXPECT_TRUE(writer.ok());
    }
    std::fclose(out);
    return ReadFile(dir.file("b64.txt"));
}

// Whatever the pieces it is fed in, the writer gives the reference
// encoding: padded, in lines of 72 with CRLF after each, or unbroken.
TEST(Base64Writer, MatchesTheReferenceInBothLineForms)
{
    WorkDir dir;
    const std::string data = qvtest::sample_bytes(10000);
    for (std::size_t size : {0u, 1u, 2u, 3u, 53u, 54u, 55u, 3456u, 3457u, 10000u})
        for (std::size_t piece : {1u, 7u, 4096u}) {
            SCOPED_TRACE(std::to_string(size) + "/" + std::to_string(piece));
            const std::string slice = data.substr(0, size);
            EXPECT_EQ(Encode(dir, slice, qvamz::Base64Lines::kBroken72, piece),
                      qvtest::base64_encode(slice, 72));
            EXPECT_EQ(Encode(dir, slice, qvamz::Base64Lines::kUnbroken, piece),
                      qvtest::base64_encode(slice));
        }
}

} // namespace
} // namespace mwtest
