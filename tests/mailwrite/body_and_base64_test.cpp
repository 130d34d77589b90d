// Text bodies (CopyBodyText, CopyHeaderWithContinuation) and the base64
// writer.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include "mailwrite/base64_writer.hpp"
#include "mailwrite/mime_headers.hpp"
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

TEST(CopyBodyText, LinesEndInCrlf)
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
}

TEST(CopyBodyText, LongLinesBreakBeforeTheLimit)
{
    WorkDir dir;
    std::string exact(qvamz::kBodyLineMax, 'x');
    EXPECT_EQ(CopyText(dir, exact + "\n"), exact + "\r\n\r\n");
    EXPECT_EQ(CopyText(dir, exact + "yz"), exact + "\r\nyz\r\n");
}

TEST(CopyBodyText, MissingFileAnswersOne)
{
    WorkDir dir;
    std::FILE *out = std::fopen(dir.file("out.txt").c_str(), "wb");
    EXPECT_EQ(qvamz::CopyBodyText(out, dir.file("absent.txt")), 1);
    std::fclose(out);
    EXPECT_EQ(ReadFile(dir.file("out.txt")), "");
}

TEST(CopyHeaderWithContinuation, CopiesContinuationsAndRewinds)
{
    WorkDir dir;
    WriteFile(dir.file("h.txt"), "References: <a>\n\t<b>\n  <c>\r\nNext: 1\n");
    std::FILE *in = std::fopen(dir.file("h.txt").c_str(), "rb");
    std::FILE *out = std::fopen(dir.file("out.txt").c_str(), "wb");
    std::string line;
    ASSERT_TRUE(qvamz::mime::ReadTextLine(in, line));
    qvamz::CopyHeaderWithContinuation(in, line, out);
    ASSERT_TRUE(qvamz::mime::ReadTextLine(in, line));
    EXPECT_EQ(line, "\t<b>"); // the input is back after the first line
    std::fclose(in);
    std::fclose(out);
    EXPECT_EQ(ReadFile(dir.file("out.txt")), "References: <a>\r\n\t<b>\r\n  <c>\r\n");
}

std::string Decode(const std::string &text)
{
    std::string compact;
    for (char c : text)
        if (c != '\r' && c != '\n')
            compact += c;
    std::string out(compact.size(), '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                            reinterpret_cast<const unsigned char *>(compact.data()),
                            static_cast<int>(compact.size()));
    if (n < 0)
        return "<invalid>";
    std::size_t pad = 0;
    if (compact.size() >= 2 && compact[compact.size() - 1] == '=')
        pad = compact[compact.size() - 2] == '=' ? 2 : 1;
    out.resize(static_cast<std::size_t>(n) - pad);
    return out;
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

TEST(Base64Writer, KnownVectors)
{
    WorkDir dir;
    std::vector<std::pair<std::string, std::string>> vectors = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (const auto &[plain, encoded] : vectors) {
        EXPECT_EQ(Encode(dir, plain, qvamz::Base64Lines::kUnbroken, 1), encoded);
        EXPECT_EQ(Encode(dir, plain, qvamz::Base64Lines::kBroken72, 2),
                  encoded.empty() ? "" : encoded + "\r\n");
    }
}

TEST(Base64Writer, BrokenLinesHoldSeventyTwoCharacters)
{
    WorkDir dir;
    std::string data;
    for (int i = 0; i < 10000; ++i)
        data += static_cast<char>((i * 37) & 0xFF);
    for (std::size_t size : {53u, 54u, 55u, 3456u, 3457u, 10000u})
        for (std::size_t piece : {1u, 7u, 4096u}) {
            std::string slice = data.substr(0, size);
            std::string text = Encode(dir, slice, qvamz::Base64Lines::kBroken72, piece);
            ASSERT_TRUE(text.ends_with("\r\n"));
            std::size_t at = 0;
            while (at < text.size()) {
                std::size_t end = text.find("\r\n", at);
                std::size_t length = end - at;
                bool last = end + 2 == text.size();
                EXPECT_TRUE(last ? length > 0 && length <= 72 : length == 72) << size;
                at = end + 2;
            }
            EXPECT_EQ(Decode(text), slice) << size << "/" << piece;
            std::string flat = Encode(dir, slice, qvamz::Base64Lines::kUnbroken, piece);
            EXPECT_EQ(flat.find('\n'), std::string::npos);
            EXPECT_EQ(Decode(flat), slice);
        }
}

} // namespace
} // namespace mwtest
