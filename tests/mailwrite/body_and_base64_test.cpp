// Text bodies (CopyBodyText), the base64 writer and the spill buffer the
// MIME text is built in.  (Header lines with their continuations are
// copied in MimeHeaders' thread headers record.)
#include <gtest/gtest.h>

#include <filesystem>

#include "mailwrite/base64_writer.hpp"
#include "mailwrite/part_content.hpp"
#include "mailwrite/spill_buffer.hpp"
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

// The file is read in blocks: a CR LF cut between two blocks is still one
// line end, a CR ending a block before other text is one too, and a long
// line is broken at the same places whatever the block edges.
TEST(CopyBodyText, LineEndsAndBreaksAcrossReadBlocks)
{
    WorkDir dir;
    const std::size_t block = qvamz::kSplitBlockBytes;
    const std::string lead(block - 1, 'a'); // lines of kBodyLineMax, then the rest
    std::string expected_lead;
    for (std::size_t at = 0; at < lead.size(); at += qvamz::kBodyLineMax)
        expected_lead += lead.substr(at, qvamz::kBodyLineMax) + "\r\n";
    EXPECT_EQ(CopyText(dir, lead + "\r\nb"), expected_lead + "b\r\n");
    EXPECT_EQ(CopyText(dir, lead + "\rb"), expected_lead + "b\r\n");
    EXPECT_EQ(CopyText(dir, lead + "\r\r\nb"), expected_lead + "\r\nb\r\n");
    const std::string two_blocks(2 * block + 5, 'c');
    std::string expected_two;
    for (std::size_t at = 0; at < two_blocks.size(); at += qvamz::kBodyLineMax)
        expected_two += two_blocks.substr(at, qvamz::kBodyLineMax) + "\r\n";
    EXPECT_EQ(CopyText(dir, two_blocks), expected_two);
}

// Part files are read whole up to the bound and streamed past it.
TEST(PartContent, ReadWholeUpToTheBound)
{
    using qvamz::mime::PartLoad;
    WorkDir dir;
    WriteFile(dir.file("part"), "12345678");
    std::string bytes;
    EXPECT_EQ(qvamz::mime::LoadPartFile(dir.file("part"), bytes, 8), PartLoad::kInMemory);
    EXPECT_EQ(bytes, "12345678");
    EXPECT_EQ(qvamz::mime::LoadPartFile(dir.file("part"), bytes, 7), PartLoad::kStream);
    EXPECT_EQ(qvamz::mime::LoadPartFile(dir.file("absent"), bytes, 8), PartLoad::kUnreadable);
    // Through the folder of a work directory that ends in a name prefix.
    const qvamz::mime::PartFolder folder(dir.file("pa"));
    EXPECT_EQ(qvamz::mime::LoadPartFile(dir.file("part"), bytes, 8, &folder), PartLoad::kInMemory);
    EXPECT_EQ(bytes, "12345678");
    auto whole = qvamz::mime::PartContent::Open(dir.file("part"), 8, &folder);
    ASSERT_TRUE(whole.Skip(3));
    EXPECT_EQ(whole.bytes(), "45678");
    ASSERT_TRUE(whole.Skip(9));
    EXPECT_EQ(whole.bytes(), "");
    folder.Remove(dir.file("part"));
    EXPECT_FALSE(std::filesystem::exists(dir.file("part")));
}

// Lines held in memory split as ReadTextLine splits a file.
TEST(PartContent, TextLinesSplitAsReadTextLine)
{
    WorkDir dir;
    for (const std::string text : {"", "a", "a\n", "\n\n", "a\r\nb", "a\rb\r", "a\r\rb\r\n", "\r"}) {
        WriteFile(dir.file("lines.txt"), text);
        qvcommon::UniqueFile in = qvcommon::OpenFile(dir.file("lines.txt"), "rb");
        std::vector<std::string> from_file, from_memory;
        std::string line;
        while (qvamz::mime::ReadTextLine(in.get(), line))
            from_file.push_back(line);
        qvamz::mime::TextLines lines(text);
        while (lines.Next(line))
            from_memory.push_back(line);
        EXPECT_EQ(from_memory, from_file) << text;
    }
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

// The buffer a message's MIME text is built in: what goes in comes out
// byte for byte whether it stayed in memory or moved to the work file half
// way through a write, the work file never outlives the buffer, and a
// spill that cannot happen is a failure, never a silently shortened text.
using qvamz::SpillBuffer;

std::string ReadAll(std::FILE *in)
{
    std::string text;
    char chunk[777];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0)
        text.append(chunk, got);
    return text;
}

std::string WriteAndReadBack(SpillBuffer &buffer, const std::string &text, std::size_t piece)
{
    std::FILE *out = buffer.BeginWriting();
    EXPECT_NE(out, nullptr);
    for (std::size_t at = 0; at < text.size(); at += piece)
        std::fwrite(text.data() + at, 1, std::min(piece, text.size() - at), out);
    EXPECT_TRUE(buffer.FinishWriting());
    EXPECT_EQ(buffer.size(), text.size());
    qvcommon::UniqueFile in = buffer.OpenForReading();
    EXPECT_NE(in, nullptr);
    return in ? ReadAll(in.get()) : std::string();
}

TEST(SpillBuffer, TextComesBackWhereverItWasKept)
{
    conntest::ScratchDir dir;
    const std::string spill = dir.file("temprfc.tmp");
    struct Case {
        const char *name;
        std::size_t size, bound, piece;
        bool spilled;
    };
    // stdio hands over its own blocks, so the bound is crossed inside one.
    // Each buffer builds in the memory the one before handed back.
    std::string kept;
    for (const Case &c : {Case{"empty", 0, 100, 1, false}, Case{"at the bound", 5000, 5000, 13, false},
                          Case{"one byte over", 5001, 5000, 5001, true},
                          Case{"far over, small writes", 300000, 10000, 3, true},
                          Case{"far over, big writes", 300000, 10000, 65536, true}}) {
        SCOPED_TRACE(c.name);
        const std::string text = qvtest::sample_bytes(c.size);
        {
            SpillBuffer buffer(spill, c.bound, &kept);
            EXPECT_EQ(WriteAndReadBack(buffer, text, c.piece), text);
            EXPECT_EQ(buffer.spilled(), c.spilled);
            EXPECT_EQ(std::filesystem::exists(spill), c.spilled);
            // Read twice (a message that waits for the next bundle).
            qvcommon::UniqueFile again = buffer.OpenForReading();
            ASSERT_NE(again, nullptr);
            EXPECT_EQ(ReadAll(again.get()), text);
        }
        EXPECT_FALSE(std::filesystem::exists(spill));
        EXPECT_TRUE(kept.empty());
    }
}

TEST(SpillBuffer, SpillThatCannotBeMadeFails)
{
    conntest::ScratchDir dir;
    SpillBuffer buffer(dir.file("no-such-folder/temprfc.tmp"), 100);
    std::FILE *out = buffer.BeginWriting();
    ASSERT_NE(out, nullptr);
    const std::string text = qvtest::sample_bytes(1000);
    std::fwrite(text.data(), 1, text.size(), out);
    EXPECT_FALSE(buffer.FinishWriting());
    EXPECT_EQ(buffer.OpenForReading(), nullptr);
}

} // namespace
} // namespace mwtest
