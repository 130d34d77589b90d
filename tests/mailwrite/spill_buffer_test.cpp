// The buffer a message's MIME text is built in: what goes in comes out
// byte for byte whether it stayed in memory or moved to the work file half
// way through a write, the work file never outlives the buffer, and a
// spill that cannot happen is a failure, never a silently shortened text.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "mailwrite/spill_buffer.hpp"
#include "qv_test_support.hpp"
#include "test_support.hpp"

namespace {

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
    for (const Case &c : {Case{"empty", 0, 100, 1, false}, Case{"at the bound", 5000, 5000, 13, false},
                          Case{"one byte over", 5001, 5000, 5001, true},
                          Case{"far over, small writes", 300000, 10000, 3, true},
                          Case{"far over, big writes", 300000, 10000, 65536, true}}) {
        SCOPED_TRACE(c.name);
        const std::string text = qvtest::sample_bytes(c.size);
        {
            SpillBuffer buffer(spill, c.bound);
            EXPECT_EQ(WriteAndReadBack(buffer, text, c.piece), text);
            EXPECT_EQ(buffer.spilled(), c.spilled);
            EXPECT_EQ(std::filesystem::exists(spill), c.spilled);
            // Read twice (a message that waits for the next bundle).
            qvcommon::UniqueFile again = buffer.OpenForReading();
            ASSERT_NE(again, nullptr);
            EXPECT_EQ(ReadAll(again.get()), text);
        }
        EXPECT_FALSE(std::filesystem::exists(spill));
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
