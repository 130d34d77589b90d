// The demo's message comparison: two encodings of the same message digest
// alike, and a change of body or attachment shows.
#include <gtest/gtest.h>

#include "mime_digest.hpp"
#include "test_support.hpp"
#include "text_codec.hpp"

namespace qvmigrate {
namespace {

using namespace qvm_test;

// One message, and the same message as another program would write it.
const std::string kSourceMessage = qvtest::read_file(fs::path(QV_TEST_DATA_DIR) / "qvmigrate" / "digest-source.eml");
const std::string kRebuiltMessage = qvtest::read_file(fs::path(QV_TEST_DATA_DIR) / "qvmigrate" / "digest-rebuilt.eml");

TEST(MimeDigest, SameMessageInOtherEncodingsDigestsAlike) {
    const MimeDigest a = digest_mime(kSourceMessage);
    const MimeDigest b = digest_mime(kRebuiltMessage);
    ASSERT_GT(kRebuiltMessage.size(), 500u);
    ASSERT_TRUE(a.text);
    EXPECT_EQ(*a.text, "Grüße aus München, ein sehr langer Satz der umbrochen wird und weitergeht");
    EXPECT_EQ(a.text, b.text);
    EXPECT_EQ(a.html, b.html);
    ASSERT_EQ(a.attachment_sha256.size(), 1u);
    EXPECT_EQ(a.attachment_sha256[0], sha256_hex("%PDF-1.4\n"));
    EXPECT_EQ(a.attachment_sha256, b.attachment_sha256);
    EXPECT_EQ(a.embedded_messages, 1);
    EXPECT_EQ(b.embedded_messages, 1);
}

TEST(MimeDigest, ChangesShow) {
    std::string changed = kRebuiltMessage;
    changed.replace(changed.find("JVBE"), 4, "JVBF");
    EXPECT_NE(digest_mime(kSourceMessage).attachment_sha256, digest_mime(changed).attachment_sha256);
    std::string other_html = kRebuiltMessage;
    other_html.replace(other_html.find("<p>x</p>"), 8, "<p>y</p>");
    EXPECT_NE(digest_mime(kSourceMessage).html, digest_mime(other_html).html);
}

TEST(MimeDigest, TransferDecoders) {
    EXPECT_EQ(decode_quoted_printable("a=3Db=\r\nc=ZZ="), "a=bc=ZZ=");
    EXPECT_EQ(decode_base64_lenient("aGVs\r\nbG8"), "hello");
    EXPECT_EQ(decode_base64_lenient("aGVsbG8=\r\n"), "hello");
}

TEST(TextCodec, Base64AndDates) {
    EXPECT_EQ(base64_encode(""), "");
    EXPECT_EQ(base64_encode("ab"), "YWI=");
    EXPECT_EQ(base64_decode("YWI="), "ab");
    for (const char *bad : {"YWI", "Y=WI", "YW!=", "YQ==YQ=="})
        EXPECT_FALSE(base64_decode(bad)) << bad;
    EXPECT_EQ(iso_to_filetime("1601-01-01"), 0u);
    EXPECT_EQ(filetime_to_iso(116444736000000000ULL), "1970-01-01T00:00:00.0000000Z");
    EXPECT_FALSE(iso_to_filetime("2026-02-30"));
    EXPECT_FALSE(iso_to_filetime("2026-02-01T10:00:00"));
    EXPECT_TRUE(is_valid_utf8("Grüße"));
    EXPECT_FALSE(is_valid_utf8("Gr\xfc\xdf" "e"));
    EXPECT_FALSE(is_valid_utf8("\xc3"));
    EXPECT_FALSE(is_valid_utf8("\xed\xa0\x80")); // a surrogate
}

} // namespace
} // namespace qvmigrate
