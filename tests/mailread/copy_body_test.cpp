// Part bodies: where they end, quoted-printable, raw byte counts, long
// lines and tabs, base64 decoded while copied.
#include <gtest/gtest.h>

#include <string>

#include "mailread/mime_parser.hpp"
#include "mailread/parser_limits.hpp"
#include "parse_fixture.hpp"

namespace {

using namespace qvamz::mailread;
using mailread_test::MemoryStream;

struct Copied {
    int result;
    std::string bytes;
    std::uint64_t count;
    std::string rest; // the line read after the copy
};

Copied copy_body(const std::string &text, const std::string &boundary, const std::string &alternate,
                 int code, bool qp, const std::string &charset = "", std::int64_t raw = 0,
                 bool decode_base64 = false)
{
    MemoryStream in(text);
    ParseTree tree;
    MailInput input(in.file, tree);
    char *buf = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&buf, &size);
    Copied c;
    c.result = CopyPartBody(input, out, boundary, alternate, code, qp, charset, c.count, raw,
                            decode_base64);
    std::fclose(out);
    c.bytes.assign(buf, size);
    free(buf);
    if (ReadHeaderLine(input, nullptr, false, 0) == 0)
        c.rest = input.line;
    return c;
}

TEST(CopyBody, EndsAtDelimiterClosingOrEndOfInput)
{
    const struct {
        const char *text;
        int result;
        const char *bytes;
        const char *rest;
    } cases[] = {
        // The line end before a boundary line belongs to the boundary.
        {"one\ntwo\n--b\nnext\n", kBodyAtBoundary, "one\r\ntwo", "next"},
        {"one\n\n--b\n", kBodyAtBoundary, "one\r\n", ""},
        {"one\n--b--\nepilogue\n", kBodyAtClosing, "one", "epilogue"},
        {"one\n--B-- \t\nepilogue\n", kBodyAtClosing, "one", "epilogue"},
        {"one\n--B  \n", kBodyAtBoundary, "one", ""},       // case and padding
        {"one\n--bb\n--b\n", kBodyAtBoundary, "one\r\n--bb", ""}, // a longer boundary is text
        {"one\n-xb\n--\n--b\n", kBodyAtBoundary, "one\r\n-xb\r\n--", ""}, // no "--" first
        {"one\n--b-x\n", kBodyAtEnd, "one\r\n--b-x\r\n", ""},
        {"one\ntwo", kBodyAtEnd, "one\r\ntwo\r\n", ""},
        {"", kBodyAtEnd, "", ""},
        // The enclosing boundary ends a part whose own is missing.
        {"text\n--outer\nnext part\n", kBodyAtClosing, "text", "next part"},
    };
    for (const auto &c : cases) {
        const Copied got = copy_body(c.text, "b", "outer", 1, false);
        EXPECT_EQ(got.result, c.result) << c.text;
        EXPECT_EQ(got.bytes, c.bytes) << c.text;
        EXPECT_EQ(got.count, got.bytes.size()) << c.text;
        EXPECT_EQ(got.rest, c.rest) << c.text;
    }
    // Without a boundary no line is one.
    EXPECT_EQ(copy_body("one\n--\n----\n", "", "", 1, false).result, kBodyAtEnd);
}

TEST(CopyBody, QuotedPrintable)
{
    const struct {
        const char *text;
        const char *bytes;
    } cases[] = {
        {"caf=E9=\ns\n", "caf\xE9s\r\n"},                   // soft break joins
        {"a=3Db=3d\n", "a=b=\r\n"},                          // lower-case hex too
        {"bad =ZZ escape\n", "bad =ZZ escape\r\n"},          // kept as it stands
        {"trailing ==\n", "trailing ="},                     // "=" left last, soft break
        {"tab\there=09\n", "tab here\t\r\n"},                // a literal tab is a blank
    };
    for (const auto &c : cases)
        EXPECT_EQ(copy_body(c.text, "b", "", 1, true).bytes, c.bytes) << c.text;
}

TEST(CopyBody, SoftBreaksJoinedBeforeDecodingForShiftingCharsets)
{
    // An escape split by a soft break only decodes once the lines are one.
    const std::string text = "=1B$B$3=\n$s=1B(B\n--b\n";
    const Copied jis = copy_body(text, "b", "", 1, true, "ISO-2022-JP");
    EXPECT_EQ(jis.bytes, "\x1B$B$3$s\x1B(B");
    EXPECT_EQ(jis.result, kBodyAtBoundary);
    // The last line of the input ending in a soft break is still written.
    EXPECT_EQ(copy_body("abc=", "b", "", 1, true, "koi8-r").bytes, "abc\r\n");
}

TEST(CopyBody, RawModeCopiesExactlyTheDeclaredBytes)
{
    const std::string binary("\x00\x01\r\n\x02--b\n", 9);
    const Copied got = copy_body(binary + "\n--b\nnext\n", "b", "", 0, false, "", 9);
    EXPECT_EQ(got.bytes, binary);
    EXPECT_EQ(got.result, kBodyAtBoundary);
    EXPECT_EQ(got.rest, "next");
    EXPECT_EQ(copy_body(binary + "--b--\n", "b", "", 0, false, "", 9).result, kBodyAtClosing);
    EXPECT_EQ(copy_body(binary, "b", "", 0, false, "", 100).result, kBodyAtEnd);
}

TEST(CopyBody, LinesLongerThanTheBufferAreCopiedWhole)
{
    // A QP escape straddles the piece boundary on purpose.
    std::string line(kLineMax - 1, 'x');
    line += "=41" + std::string(1000, 'y');
    const Copied got = copy_body(line + "\n--b\n", "b", "", 1, true);
    EXPECT_EQ(got.bytes, std::string(kLineMax - 1, 'x') + "A" + std::string(1000, 'y'));
    EXPECT_EQ(got.result, kBodyAtBoundary);
    // A long line that starts like a boundary in its later piece is text.
    const std::string tricky = std::string(kLineMax, 'z') + "--b\n--b\n";
    EXPECT_EQ(copy_body(tricky, "b", "", 1, false).bytes, std::string(kLineMax, 'z') + "--b");
}

TEST(CopyBody, AttachmentsKeepTabsAndLineEndsTextBodiesDoNot)
{
    EXPECT_EQ(copy_body("a\tb\n", "", "", 0, false).bytes, "a\tb\n");
    EXPECT_EQ(copy_body("a\tb\n", "", "", 1, false).bytes, "a b\r\n");
    // Every kind of line end stays as written; the one before the boundary
    // is the boundary's.
    EXPECT_EQ(copy_body("a\nb\r\nc\rd\r\r\ne\n--b\n", "b", "", 0, false).bytes,
              "a\nb\r\nc\rd\r\r\ne");
    EXPECT_EQ(copy_body("a\nb\r\nc\n--b\n", "b", "", QV_PART_INLINE_TEXT, false).bytes,
              "a\nb\r\nc");
    EXPECT_EQ(copy_body("a\nb\r\nc\n--b\n", "b", "", 1, false).bytes, "a\r\nb\r\nc");
}

TEST(CopyBody, WithoutOutputOnlyContentIsCounted)
{
    MemoryStream in("abc\nde\n--b\n");
    ParseTree tree;
    MailInput input(in.file, tree);
    std::uint64_t count = 0;
    EXPECT_EQ(CopyPartBody(input, nullptr, "b", "", 1, false, "", count, 0), kBodyAtBoundary);
    EXPECT_EQ(count, 5u);
}

// Base64 decoded while copied gives exactly what decoding the copied text
// as a file (com_convert_base64) gives, however the text is laid out.
TEST(CopyBody, Base64DecodedWhileCopiedEqualsDecodedAfterwards)
{
    qvtest::TempDir dir;
    const auto decoded_after = [&](const Copied &copied) {
        qvtest::write_file(dir.file("part"), copied.bytes);
        com_convert_base64(dir.file("part").c_str(), dir.prefix().c_str());
        return qvtest::read_file(dir.file("part"));
    };
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
        const Copied decoded = copy_body(body, "b", "", 3, false, "", 0, true);
        const Copied copied = copy_body(body, "b", "", 3, false);
        EXPECT_EQ(decoded.result, kBodyAtClosing);
        EXPECT_EQ(decoded.count, copied.count) << "the text is counted, not what it encodes";
        EXPECT_TRUE(decoded.bytes == decoded_after(copied)) << text.substr(0, 40);
    }
    // A declared byte count (binary) is decoded the same way.
    const std::string body = lines.substr(0, 4000) + "\r\n--b\r\n";
    EXPECT_TRUE(copy_body(body, "b", "", 3, false, "", 4000, true).bytes ==
                decoded_after(copy_body(body, "b", "", 3, false, "", 4000)));
}

} // namespace
