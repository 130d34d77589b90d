// Part files written over the file an earlier message left.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "mailread/part_file.hpp"

namespace qvamz::mailread {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class PartFileTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("part_file_test_" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        path_ = (dir_ / "PRT00100.TMP").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    void Write(const std::string &text)
    {
        qvcommon::UniqueFile file = OpenPartFile(path_);
        ASSERT_TRUE(file);
        ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), file.get()), text.size());
    }

    fs::path dir_;
    std::string path_;
};

// A shorter text over a longer one leaves nothing of the old tail; a
// longer one over a shorter one comes out whole, also past the buffer.
TEST_F(PartFileTest, WritingOverAnOlderFileLeavesOnlyTheNewBytes)
{
    Write(std::string(200000, 'a'));
    EXPECT_EQ(fs::file_size(path_), 200000u);
    Write("short");
    EXPECT_EQ(Slurp(path_), "short");
    const std::string longer = std::string(70000, 'b') + "end";
    Write(longer);
    EXPECT_EQ(Slurp(path_), longer);
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
    EXPECT_EQ(Slurp(path_), "From: a@example.com\r\n");
}

// A host that keeps a part by a second name of its own keeps its bytes:
// the next write gets a new file under the part's name.
TEST_F(PartFileTest, AFileWithAnotherNameIsNeverWrittenOver)
{
    Write("first message's part");
    const fs::path kept = dir_ / "archived.p000";
    fs::create_hard_link(path_, kept);
    Write("second");
    EXPECT_EQ(Slurp(kept), "first message's part");
    EXPECT_EQ(Slurp(path_), "second");
    EXPECT_EQ(fs::hard_link_count(path_), 1u);
}

} // namespace
} // namespace qvamz::mailread
