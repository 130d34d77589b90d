// `serve --mime-rewrite`: rebuilt MIME looks different on the wire but
// means the same to an independent parser (GMime: headers' decoded values,
// structure, every part's decoded bytes).
#include <gtest/gtest.h>

#include <algorithm>

#include "gmime_view.hpp"
#include "mailbox_tools.hpp"
#include "mime_rewrite.hpp"
#include "ops_harness.hpp"

namespace {

namespace fs = std::filesystem;
using mwtest::MimeNode;

using qvtest::read_file;

mwtest::GMimeMessageView parse(const fs::path &dir, const std::string &name, const std::string &mime) {
    qvtest::write_file(dir / name, mime);
    return mwtest::ParseWithGMime((dir / name).string());
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), ::tolower);
    return s;
}

void expect_same_node(const MimeNode &a, const MimeNode &b, const std::string &where) {
    const auto header = [](const MimeNode &n) {
        return std::vector<std::string>{n.type, n.charset, n.filename, n.name, n.content_id, n.disposition, n.subject};
    };
    EXPECT_EQ(header(a), header(b)) << where;
    EXPECT_TRUE(a.content == b.content) << where << ": content of " << a.type << " differs";
    ASSERT_EQ(a.children.size(), b.children.size()) << where;
    for (std::size_t i = 0; i < a.children.size(); ++i)
        expect_same_node(a.children[i], b.children[i], where + "/" + std::to_string(i));
}

// The two messages mean the same; the rebuilt one's lines stay within 998.
void expect_same_meaning(const fs::path &dir, const std::string &name, const std::string &original,
                         const std::string &rebuilt) {
    const auto a = parse(dir, name + ".orig", original), b = parse(dir, name + ".new", rebuilt);
    ASSERT_TRUE(a.parsed && b.parsed) << name;
    auto fields = [](const mwtest::GMimeMessageView &v) {
        std::vector<std::pair<std::string, std::string>> out;
        for (const auto &[key, value] : v.headers)
            out.emplace_back(lower(key), value);
        std::stable_sort(out.begin(), out.end(),
                         [](const auto &x, const auto &y) { return x.first < y.first; });
        return out;
    };
    EXPECT_EQ(fields(a), fields(b)) << name; // decoded values: subject, addresses, dates
    expect_same_node(a.body, b.body, name);
    for (std::size_t at = 0, next; at < rebuilt.size(); at = next + 1) {
        next = rebuilt.find('\n', at);
        if (next == std::string::npos)
            break;
        ASSERT_LE(next - at, 999u) << name;
    }
}

// A hand-built message: 8bit text, trace fields, a folded recipient list,
// a subject to fold and base64 in long lines.
const std::string kEightBit = read_file(fs::path(QV_TEST_DATA_DIR) / "mime" / "eightbit.eml");

bool mixed_line_ends(const std::string &mime) {
    bool crlf = false, lf = false;
    for (std::size_t i = 0; i < mime.size(); ++i)
        if (mime[i] == '\n')
            (i > 0 && mime[i - 1] == '\r' ? crlf : lf) = true;
    return crlf && lf;
}

// Text that does not open with a header field is no message to GMime; the
// sandbox serves it as stored.
bool opens_with_header(const std::string &mime) {
    const auto colon = mime.find(':');
    return colon != std::string::npos && colon < mime.find('\n') && colon < mime.find_first_of(" \t");
}

TEST(MimeRewrite, HandBuiltMessageIsRebuiltAsExchangeDoes) {
    ops_test::TempDir dir;
    ASSERT_GT(kEightBit.size(), 500u);
    const auto rebuilt = sandbox::rewrite_mime(kEightBit);
    ASSERT_TRUE(rebuilt.has_value());
    expect_same_meaning(dir.path(), "eightbit", kEightBit, *rebuilt);
    const std::string &m = *rebuilt;
    EXPECT_EQ(m.find("8bit"), std::string::npos) << m;
    EXPECT_NE(m.find("Caf=C3=A9 cr=C3=A8me.\r\nA line =3D with"), std::string::npos) << m;
    EXPECT_NE(m.find("\r\nAAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4\r\n"
                     "OTo7PD0+P0BBQkNERUZHSElKS0xNTk9Q\r\n--b1"),
              std::string::npos) << "base64 in 76-character lines: " << m;
    // Trace fields first in their order, then From, To, Subject, Date, the
    // rest, and MIME-Version with the Content-* fields at the end.
    std::vector<std::size_t> at;
    for (const char *name : {"Received: from b", "Received: from a", "From:", "To:", "Subject:", "Date:",
                             "X-Mailer:", "MIME-Version:", "Content-Type: multipart"})
        at.push_back(m.find(std::string("\n") + name) + 1);
    EXPECT_TRUE(std::is_sorted(at.begin(), at.end())) << m;
    EXPECT_NE(m.find("To: Alice <alice@example.com>,  Carol <carol@example.com>\r\n"), std::string::npos)
        << "short fields are unfolded: " << m;
    const auto subject = m.substr(at[4], m.find("\r\nDate:") - at[4]);
    EXPECT_NE(subject.find("\r\n "), std::string::npos) << "long fields are folded: " << subject;
    for (std::size_t start = 0, end; (end = subject.find("\r\n", start)) != std::string::npos; start = end + 2)
        EXPECT_LE(end - start, 76u) << subject;
}

TEST(MimeRewrite, SignedAndMixedLineEndMessagesAreServedAsStored) {
    const std::string signed_mail =
        "From: a@example.com\r\nSubject: s\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/signed; protocol=\"application/pgp-signature\"; micalg=pgp-sha256; "
        "boundary=\"s\"\r\n\r\n--s\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
        "sign\xc3\xa9\r\n--s\r\nContent-Type: application/pgp-signature\r\n\r\nSIG\r\n--s--\r\n";
    EXPECT_FALSE(sandbox::rewrite_mime(signed_mail).has_value());
    EXPECT_EQ(sandbox::mime_as_served(signed_mail, true), signed_mail);
    EXPECT_EQ(sandbox::mime_as_served(kEightBit, false), kEightBit);
    const std::string mixed = "From: a@example.com\r\nSubject: m\r\n\r\none\ntwo\r\n";
    EXPECT_FALSE(sandbox::rewrite_mime(mixed).has_value());
}

// Every demo message (charsets, RFC 2047 and 2231, nested multiparts,
// forwarded messages, images) and the reader's sample files, whose text with
// bare line feeds must go as base64 (quoted-printable would decode to CRLF).
TEST(MimeRewrite, CorpusKeepsItsMeaning) {
    ops_test::TempDir dir;
    const fs::path data = dir.path() / "data", dumped = dir.path() / "dump";
    ASSERT_EQ(sandbox::seed_demo(data.string(), "demo@example.com"), 0);
    ASSERT_EQ(sandbox::dump_mailbox(data.string(), "demo@example.com", dumped.string()), 0);
    std::vector<fs::path> corpus;
    for (const fs::path &folder : {dumped, fs::path(QV_TEST_DATA_DIR) / ".." / "mailread"})
        for (const auto &entry : fs::directory_iterator(folder))
            if (entry.path().extension() == ".eml")
                corpus.push_back(entry.path());
    ASSERT_GE(corpus.size(), 40u);
    std::size_t changed = 0;
    for (const auto &path : corpus) {
        const std::string original = read_file(path);
        const auto rebuilt = sandbox::rewrite_mime(original);
        if (!rebuilt) {
            EXPECT_TRUE(mixed_line_ends(original) || !opens_with_header(original))
                << path << " was not rebuilt";
            continue;
        }
        changed += *rebuilt != original;
        expect_same_meaning(dir.path(), path.filename().string(), original, *rebuilt);
    }
    EXPECT_GE(changed, corpus.size() * 3 / 4);
}

} // namespace
