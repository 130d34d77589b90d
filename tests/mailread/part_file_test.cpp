// Part files written over the file an earlier message left.
#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "mailread/part_file.hpp"
#include "qv_test_support.hpp"

namespace qvamz::mailread {
namespace {

using qvtest::read_file;

class PartFileTest : public ::testing::Test {
  protected:
    void Write(const std::string &text)
    {
        qvcommon::UniqueFile file = OpenPartFile(path_);
        ASSERT_TRUE(file);
        ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), file.get()), text.size());
    }

    qvtest::TempDir dir_;
    std::string path_ = dir_.file("PRT00100.TMP");
};

// A shorter text over a longer one leaves nothing of the old tail; a
// longer one over a shorter one comes out whole, also past the buffer.
TEST_F(PartFileTest, WritingOverAnOlderFileLeavesOnlyTheNewBytes)
{
    Write(std::string(200000, 'a'));
    EXPECT_EQ(std::filesystem::file_size(path_), 200000u);
    Write("short");
    EXPECT_EQ(read_file(path_), "short");
    const std::string longer = std::string(70000, 'b') + "end";
    Write(longer);
    EXPECT_EQ(read_file(path_), longer);
}

// A writer that takes back its last line seeks back; the file ends there,
// and ftell/SEEK_END see only what this writer wrote.
TEST_F(PartFileTest, SeekingBackCutsTheFileThere)
{
    Write(std::string(5000, 'x'));
    qvcommon::UniqueFile file = OpenPartFile(path_);
    ASSERT_TRUE(file);
    std::fputs("From: a@example.com\r\n", file.get());
    const long kept = std::ftell(file.get());
    std::fputs("no header line\r\n", file.get());
    ASSERT_EQ(std::fseek(file.get(), kept, SEEK_SET), 0);
    ASSERT_EQ(std::fseek(file.get(), 0, SEEK_END), 0);
    EXPECT_EQ(std::ftell(file.get()), kept + 16);
    ASSERT_EQ(std::fseek(file.get(), kept, SEEK_SET), 0);
    EXPECT_EQ(std::fclose(file.release()), 0);
    EXPECT_EQ(read_file(path_), "From: a@example.com\r\n");
}

// A host that keeps a part by a second name of its own keeps its bytes:
// the next write gets a new file under the part's name.
TEST_F(PartFileTest, AFileWithAnotherNameIsNeverWrittenOver)
{
    Write("first message's part");
    const std::string kept = dir_.file("archived.p000");
    std::filesystem::create_hard_link(path_, kept);
    Write("second");
    EXPECT_EQ(read_file(kept), "first message's part");
    EXPECT_EQ(read_file(path_), "second");
    EXPECT_EQ(std::filesystem::hard_link_count(path_), 1u);
}

} // namespace
} // namespace qvamz::mailread
