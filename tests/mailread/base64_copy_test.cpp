// Base64 attachments decoded while copied: the file must hold exactly what
// decoding the copied text as a file (com_convert_base64) gives, however
// the text is laid out.
#include <gtest/gtest.h>

#include <string>

#include "mailread/mime_parser.hpp"
#include "parse_fixture.hpp"

namespace {

using namespace qvamz::mailread;
using mailread_test::MemoryStream;

struct Copy {
    std::string bytes;
    std::uint64_t count = 0;
    int result = -1;
};

Copy copy(const std::string &body, bool decode, std::int64_t raw = 0)
{
    MemoryStream in(body);
    ParseTree tree;
    MailInput input(in.file, tree);
    qvtest::TempDir dir;
    const std::string path = dir.file("part");
    FILE *out = std::fopen(path.c_str(), "wb");
    Copy c;
    c.result = CopyPartBody(input, out, "b", "", 3, false, "", c.count, raw, decode);
    std::fclose(out);
    if (!decode)
        com_convert_base64(path.c_str(), dir.prefix().c_str());
    c.bytes = qvtest::read_file(path);
    return c;
}

TEST(Base64Copy, DecodedWhileCopiedEqualsDecodedAfterwards)
{
    const std::string payload = qvtest::sample_bytes(200 * 1024 + 1);
    const std::string lines = qvtest::base64_encode(payload, 76);
    std::string ragged; // blanks and tabs inside groups, CR-only line ends
    for (std::size_t i = 0; i < lines.size(); ++i)
        ragged += lines[i] == '\n' ? std::string("\r") : i % 7 == 3 ? lines.substr(i, 1) + " \t"
                                                                    : lines.substr(i, 1);
    const std::string one_line = qvtest::base64_encode(payload, 0); // pieces of a long line
    for (const std::string &text :
         {lines, ragged, one_line, std::string("aGVs\r\nbG8=\r\nafter the padding\r\n"),
          std::string("aGVsbG8h*stops here\r\n"), std::string("aGVsbA\r\n"), std::string("====\r\n")}) {
        const std::string body = text + "\r\n--b--\r\n";
        const Copy decoded = copy(body, true), after = copy(body, false);
        EXPECT_EQ(decoded.result, kBodyAtClosing);
        EXPECT_EQ(decoded.count, after.count) << "the text is counted, not what it encodes";
        EXPECT_TRUE(decoded.bytes == after.bytes) << text.substr(0, 40);
    }
    // A declared byte count (binary) is decoded the same way.
    const std::string body = lines.substr(0, 4000) + "\r\n--b\r\n";
    EXPECT_TRUE(copy(body, true, 4000).bytes == copy(body, false, 4000).bytes);
}

} // namespace
