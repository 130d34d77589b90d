// Decoding a base64 file in place.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "qv/qvcom.h"
#include "qv_test_support.hpp"

namespace {

using qvtest::base64_encode;
using qvtest::sample_bytes;

TEST(Base64File, LargerThanTheWindowWithLineBreaksAndPadding) {
    qvtest::TempDir dir;
    // Sizes ending in 1 and 2 padding characters and none; the last one is
    // too large to be decoded in memory and goes through 64 KB windows.
    for (size_t size : {300 * 1024 + 1, 300 * 1024 + 2, 900 * 1024 + 3}) {
        const std::string data = sample_bytes(size);
        const std::string path = dir.file("part.b64");
        qvtest::write_file(path, base64_encode(data, 76));
        EXPECT_EQ(com_convert_base64(path.c_str(), dir.prefix().c_str()),
                  static_cast<int64_t>(size));
        EXPECT_EQ(qvtest::read_file(path), data) << size;
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.prefix()),
                            std::filesystem::directory_iterator()),
              1)
        << "no temporary file left behind";
}

TEST(Base64File, StopsAtPaddingOrAForeignCharacter) {
    qvtest::TempDir dir;
    const struct {
        const char *encoded;
        const char *decoded;
    } cases[] = {
        {"aGVsbG8=\r\n--boundary--\r\n", "hello"},
        {"aGVs\n bG8h\t\n", "hello!"},
        {"aGVsbG8h*garbage", "hello!"},
        {"aGVsbA", "hell"}, // unpadded end
        {"", ""},
    };
    for (const auto &c : cases) {
        const std::string path = dir.file("x.b64");
        qvtest::write_file(path, c.encoded);
        EXPECT_EQ(com_convert_base64(path.c_str(), ""), static_cast<int64_t>(strlen(c.decoded)));
        EXPECT_EQ(qvtest::read_file(path), c.decoded) << c.encoded;
    }
}

TEST(Base64File, MissingFileOrUnwritableFolderLosesNothing) {
    qvtest::TempDir dir;
    EXPECT_EQ(com_convert_base64(dir.file("absent").c_str(), dir.prefix().c_str()), -1);
    // A large file needs a work file in the work folder; a small one is
    // decoded in memory and needs none.
    const std::string path = dir.file("keep.b64");
    const std::string large = base64_encode(sample_bytes(900 * 1024), 76);
    qvtest::write_file(path, large);
    EXPECT_EQ(com_convert_base64(path.c_str(), "/nonexistent-qvcom-dir/"), -1);
    EXPECT_EQ(qvtest::read_file(path), large);
    qvtest::write_file(path, "aGVsbG8=");
    EXPECT_EQ(com_convert_base64(path.c_str(), "/nonexistent-qvcom-dir/"), 5);
    EXPECT_EQ(qvtest::read_file(path), "hello");
}

} // namespace
