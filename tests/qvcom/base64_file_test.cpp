// Decoding a base64 file in place.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "qv/qvcom.h"
#include "test_files.hpp"

namespace {

// Reference encoder for the test data, with line breaks every `line` chars.
std::string encode(const std::string &data, size_t line, const char *eol) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t column = 0;
    auto put = [&](char c) {
        out.push_back(c);
        if (line > 0 && ++column == line) {
            out += eol;
            column = 0;
        }
    };
    for (size_t i = 0; i < data.size(); i += 3) {
        const size_t n = std::min<size_t>(3, data.size() - i);
        uint32_t v = static_cast<uint8_t>(data[i]) << 16;
        if (n > 1) v |= static_cast<uint8_t>(data[i + 1]) << 8;
        if (n > 2) v |= static_cast<uint8_t>(data[i + 2]);
        put(kAlphabet[(v >> 18) & 63]);
        put(kAlphabet[(v >> 12) & 63]);
        put(n > 1 ? kAlphabet[(v >> 6) & 63] : '=');
        put(n > 2 ? kAlphabet[v & 63] : '=');
    }
    return out + eol;
}

std::string sample_bytes(size_t n) {
    std::string data(n, '\0');
    uint32_t state = 12345;
    for (auto &c : data) {
        state = state * 1103515245 + 12345;
        c = static_cast<char>(state >> 16);
    }
    return data;
}

TEST(Base64File, LargerThanTheWindowWithLineBreaksAndPadding) {
    qvtest::TempDir dir;
    // 300 KB decoded (several 64 KB windows); sizes ending in 1 and 2
    // padding characters and none.
    for (size_t size : {300 * 1024 + 1, 300 * 1024 + 2, 300 * 1024 + 3}) {
        const std::string data = sample_bytes(size);
        const std::string path = dir.file("part.b64");
        qvtest::write_file(path, encode(data, 76, "\r\n"));
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
    const std::string path = dir.file("keep.b64");
    qvtest::write_file(path, "aGVsbG8=");
    EXPECT_EQ(com_convert_base64(path.c_str(), "/nonexistent-qvcom-dir/"), -1);
    EXPECT_EQ(qvtest::read_file(path), "aGVsbG8=");
}

} // namespace
