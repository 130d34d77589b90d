// Part files between the archive and the working folder: reused scratch
// files never hand on old bytes, links never let the connector change the
// archive, moved files are the archived bytes, and damaged files are
// refused with nothing placed.
#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include "archive_files.hpp"
#include "test_support.hpp"
#include "text_codec.hpp"

namespace qvmigrate {
namespace {

using namespace qvm_test;

ino_t inode_of(const fs::path &path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_ino;
}

class ArchiveFilesTest : public ::testing::Test {
  protected:
    TempDir temp;
    fs::path archived = temp.path() / "000001.p000";
    fs::path destination = temp.path() / "PRT00200.TMP";

    ExpectedFile archive(const std::string &bytes) {
        write_file(archived, bytes);
        return {"0001/000001.p000", bytes.size(), sha256_hex(bytes)};
    }
};

TEST_F(ArchiveFilesTest, ScratchCopyIsReusedAndNeverHandsOnOldBytes) {
    const std::string first(100'000, 'a'); // longer than one read
    ASSERT_EQ(place_checked_copy(archived, archive(first), destination), "");
    EXPECT_EQ(read_file(destination), first);
    EXPECT_EQ(qvtest::mode_of(destination), 0600u);
    const ino_t scratch = inode_of(destination);

    // The connector appends to its file and deletes it; the archive keeps
    // its bytes, and the next item's shorter file comes out exact.
    write_file(destination, first + "appended");
    EXPECT_EQ(read_file(archived), first);
    fs::remove(destination);
    ASSERT_EQ(place_checked_copy(archived, archive("short"), destination), "");
    EXPECT_EQ(read_file(destination), "short");
    EXPECT_EQ(inode_of(destination), scratch);

    // A file the connector left behind is replaced, not appended to.
    ASSERT_EQ(place_checked_copy(archived, archive(""), destination), "");
    EXPECT_EQ(read_file(destination), "");
}

TEST_F(ArchiveFilesTest, ArchivedWorkFileOutlivesItsWorkName) {
    const fs::path work = temp.path() / "PRT00100.TMP";
    const fs::path target = temp.path() / "000002.p000";
    write_file(work, "part");
    ::chmod(work.c_str(), 0644);
    const auto linked = archive_file(work, target);
    ASSERT_TRUE(linked);
    EXPECT_EQ(inode_of(target), inode_of(work));
    EXPECT_EQ(qvtest::mode_of(target), 0600u);
    // Archived a second time, it is copied: damage to one item's file
    // never shows in another's.  Size and digest are the bytes archived.
    const fs::path again = temp.path() / "000003.p000";
    const auto copied = archive_file(work, again);
    ASSERT_TRUE(copied);
    EXPECT_NE(inode_of(again), inode_of(work));
    EXPECT_EQ(qvtest::mode_of(again), 0600u);
    fs::remove(work);
    EXPECT_EQ(read_file(target), "part");
    EXPECT_EQ(read_file(again), "part");
    for (const auto &archived : {*linked, *copied}) {
        EXPECT_EQ(archived.bytes, 4u);
        EXPECT_EQ(archived.sha256, sha256_hex("part"));
    }
    // No file, or no regular one, is nothing to archive.
    EXPECT_FALSE(archive_file(work, temp.path() / "000004.p000"));
    EXPECT_FALSE(archive_file(temp.path(), temp.path() / "000004.p000"));
}

TEST_F(ArchiveFilesTest, MovedFileIsTheArchivedOneAndReplacesALeftover) {
    write_file(destination, "left by the item before, longer than the new one");
    const ExpectedFile expected = archive("moved part");
    ::chmod(archived.c_str(), 0600);
    const ino_t inode = inode_of(archived);
    ASSERT_EQ(place_checked_move(archived, expected, destination), "");
    EXPECT_FALSE(fs::exists(archived));
    EXPECT_EQ(read_file(destination), "moved part");
    EXPECT_EQ(inode_of(destination), inode);
    EXPECT_EQ(qvtest::mode_of(destination), 0600u);
    EXPECT_FALSE(fs::exists(fs::path(destination.string() + ".slot")));
}

TEST_F(ArchiveFilesTest, DamagedOrMissingFilesAreRefusedAndNothingIsPlaced) {
    // Recorded as "body"; found cut short, changed, gone.
    const std::vector<std::pair<std::optional<std::string>, std::string>> finds = {
        {"bod", "has 3 bytes, 4"}, {"BODY", "SHA-256"}, {std::nullopt, "is missing"}};
    for (const auto &[found, says] : finds) {
        const ExpectedFile expected = archive("body");
        if (found)
            write_file(archived, *found);
        else
            fs::remove(archived);
        for (const auto &place : {place_checked_copy, place_checked_move}) {
            const std::string problem = place(archived, expected, destination);
            EXPECT_NE(problem.find("0001/000001.p000"), std::string::npos) << problem;
            EXPECT_NE(problem.find(says), std::string::npos) << problem;
            EXPECT_FALSE(fs::exists(destination)) << problem;
            EXPECT_EQ(fs::exists(archived), found.has_value()) << "a refused file stays";
        }
    }
}

} // namespace
} // namespace qvmigrate
