// The comparison itself: a harness that misses a difference, or invents
// one, would make the corpus run worthless.
#include <gtest/gtest.h>

#include "compare.hpp"
#include "expectations.hpp"

namespace difftest {
namespace {

const std::string kHead = "From: Ann <ann@example.org>\nTo: Bob <bob@example.org>\nSubject: S\n"
                          "MIME-Version: 1.0\n";

std::set<std::string> kinds(const std::string &source, const std::string &target) {
    const MessageView s = read_message(source), t = read_message(target);
    return kinds_of(compare_messages(s, inspect_source(source, s), t));
}

std::string mixed(const std::string &parts) {
    return kHead + "Content-Type: multipart/mixed; boundary=\"b\"\n\n" + parts + "--b--\n";
}

const std::string kTextPart = "--b\nContent-Type: text/plain; charset=us-ascii\n\nHello\n\n";

std::string attachment(const std::string &name, const std::string &type, const std::string &base64) {
    return "--b\nContent-Type: " + type + "; name=\"" + name + "\"\nContent-Disposition: attachment; filename=\"" +
           name + "\"\nContent-Transfer-Encoding: base64\n\n" + base64 + "\n\n";
}

TEST(Compare, AFaithfulCopyShowsNoDifferenceWhateverItsLineEndsAndLayout) {
    const std::string source = mixed(kTextPart + attachment("a.bin", "application/octet-stream", "AAECAw=="));
    std::string target = mixed("--b\nContent-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: base64\n\n"
                               "SGVsbG8NCg==\n\n" + attachment("a.bin", "application/octet-stream", "AAEC\nAw=="));
    for (size_t at = 0; (at = target.find('\n', at)) != std::string::npos; at += 2)
        target.replace(at, 1, "\r\n");
    EXPECT_EQ(kinds(source, target), std::set<std::string>{});
}

TEST(Compare, AttachmentChangesAreNamedByKind) {
    const std::string source = mixed(kTextPart + attachment("sig.asc", "application/pgp-signature", "YQpiCg==") +
                                     attachment("x.bin", "application/octet-stream", "AAEC"));
    // "a\nb\n" arriving as "a\r\nb\r\n"; x.bin arriving with other bytes and as another type.
    const std::string target = mixed(kTextPart + attachment("sig.asc", "application/pgp-signature", "YQ0KYg0K") +
                                     attachment("x.bin", "image/png", "AAED"));
    EXPECT_EQ(kinds(source, target), (std::set<std::string>{"5", "attachment-bytes", "attachment-type"}));

    const std::string twins = mixed(kTextPart + attachment("r.bin", "application/octet-stream", "AAEC") +
                                    attachment("r.bin", "application/octet-stream", "AwQF"));
    EXPECT_EQ(kinds(twins, mixed(kTextPart + attachment("r.bin", "application/octet-stream", "AAEC"))),
              std::set<std::string>{"6"});
}

TEST(Compare, InlineTextThatArrivesAsAnAttachmentIsKindOne) {
    const std::string second = "--b\nContent-Type: text/plain\n\nSecond note\n\n";
    const std::string as_file = attachment("Message Text", "application/octet-stream", "U2Vjb25kIG5vdGUNCg==");
    EXPECT_EQ(kinds(mixed(kTextPart + second), mixed(kTextPart + as_file)), std::set<std::string>{"1"});
}

TEST(Compare, AddressChangesAreNamedByKind) {
    const std::string body = "\nText\n";
    auto with_to = [&](const std::string &to) {
        return "From: Ann <ann@example.org>\nTo: " + to + "\nSubject: S\n" + body;
    };
    EXPECT_EQ(kinds(with_to("Undisclosed-Recipients:;"), with_to("")), std::set<std::string>{"8"});
    EXPECT_EQ(kinds(with_to("Bob <bob@example.org>"), with_to("Bob <bob@example.org>")), std::set<std::string>{});
    EXPECT_EQ(kinds(with_to("Bob <bob@example.org>"), with_to("Robert <bob@example.org>")),
              std::set<std::string>{"addresses"});
    EXPECT_EQ(kinds(with_to("=?UTF-8?Q?J=C3=BCrgen?= <j\xc3\xbcrgen@example.de>"), with_to("Jurgen <jrgen@example.de>")),
              std::set<std::string>{"15"});
}

TEST(Compare, BodyChangesAreNamedByKind) {
    const std::string plain = "From: Ann <ann@example.org>\nSubject: S\n\n";
    EXPECT_EQ(kinds(plain + "a\tb\n", plain + "a b\n"), std::set<std::string>{"tabs"});
    EXPECT_EQ(kinds(plain + "x\nFrom here\n", plain + "x\n>From here\n"), std::set<std::string>{"12"});
    EXPECT_EQ(kinds(plain + "one text\n", plain + "another text\n"), std::set<std::string>{"text"});
    // The header block runs into the first body line, which the copy lost.
    EXPECT_EQ(kinds("From: Ann <ann@example.org>\nSubject: S\nno blank line before me\nsecond\n",
                    plain + "second\n"),
              std::set<std::string>{"2"});
    const std::string alternative = kHead + "Content-Type: multipart/alternative; boundary=\"b\"\n\n"
                                            "--b\nContent-Type: text/plain\n\n\n--b--\n";
    EXPECT_EQ(kinds("From: Ann <ann@example.org>\nTo: Bob <bob@example.org>\nSubject: S\n", alternative), std::set<std::string>{"7"});
    const std::string utf8_unlabelled = kHead + "Content-Type: text/plain\n\nGr\xc3\xbc\xc3\x9f" "e\n";
    EXPECT_EQ(kinds(kHead + "Content-Type: text/plain; charset=utf-8\n\nGr\xc3\xbc\xc3\x9f" "e\n", utf8_unlabelled),
              std::set<std::string>{"9"});
}

TEST(Compare, HeaderBlocksThatRunIntoTheirContentAreEndedWhereTheHeadersStop) {
    EXPECT_EQ(with_header_ends("Subject: S\nX-A: 1\n continued\nbody line\nmore\n", {}),
              "Subject: S\nX-A: 1\n continued\n\nbody line\nmore\n");
    EXPECT_EQ(with_header_ends("Subject: S\r\nbody\r\n", {}), "Subject: S\r\n\r\nbody\r\n");
    const std::string part = "Subject: S\n\n--b\nContent-Type: text/plain\nbar\n--b--\n";
    EXPECT_EQ(with_header_ends(part, {"b"}), "Subject: S\n\n--b\nContent-Type: text/plain\n\nbar\n--b--\n");
    // Well-formed text is left alone, also where it quotes a boundary.
    const std::string quoting = "Subject: S\n\n--b\nContent-Type: text/plain\n\nsee\n--b and more\nend\n--b--\nepilogue\n";
    EXPECT_EQ(with_header_ends(quoting, {"b"}), quoting);
    // The part's lost content is then seen as lost, and named by its cause.
    const std::string source = kHead + "Content-Type: multipart/mixed; boundary=\"b\"\n\n" + kTextPart +
                               "--b\nContent-Type: text/plain\nbar\n--b--\n";
    const MessageView as_written = read_message(source);
    const MessageView repaired = read_message(with_header_ends(source, as_written.boundaries));
    EXPECT_EQ(kinds_of(compare_messages(repaired, inspect_source(source, as_written), read_message(mixed(kTextPart)))),
              std::set<std::string>{"3"});
}

TEST(Compare, UuencodedBlocksInATextBodyAreFilesOfTheSource) {
    const std::string block = "begin 644 hello.txt\nM2&5L;&\\L('=O<FQD(2!4:&ES(&ES(&$@=75E;F-O9&5D(&9I;&4N\"DET(&AA\n"
                              "&<R!T=V\\*\n`\nend\n";
    const std::string plain = "From: Ann <ann@example.org>\nSubject: S\n\n";
    MessageView source = read_message(plain + "Here:\n" + block + "Bye\n");
    extract_uuencoded_blocks(source);
    ASSERT_EQ(source.attachments().size(), 1u);
    EXPECT_EQ(source.attachments()[0]->filename, "hello.txt");
    EXPECT_EQ(source.attachments()[0]->bytes, "Hello, world! This is a uuencoded file.\nIt has two\n");
    EXPECT_EQ(source.bodies()[0]->text, "Here:\nBye\n");
    // A copy that keeps the block as text has lost the file.
    EXPECT_EQ(kinds_of(compare_messages(source, SourceShape{false, false, true},
                                        read_message(plain + "Here:\n" + block + "Bye\n"))),
              std::set<std::string>{"10"});
}

TEST(Expectations, NewAndVanishedKindsBothFail) {
    const KindsByMessage expected = parse_expectations("# comment\na.eml 1 5\nb.eml text\n");
    const KindsByMessage found = {{"a.eml", {"1"}}, {"b.eml", {"text", "6"}}, {"c.eml", {}}};
    const std::vector<std::string> problems = check_expectations(expected, found, {"a.eml", "b.eml", "c.eml"});
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_NE(problems[0].find("a.eml: listed difference of kind 5 is gone"), std::string::npos);
    EXPECT_NE(problems[1].find("b.eml: new difference of kind 6"), std::string::npos);
    EXPECT_EQ(parse_expectations(format_expectations(found)), (KindsByMessage{{"a.eml", {"1"}}, {"b.eml", {"6", "text"}}}));
    EXPECT_EQ(check_expectations(expected, {{"a.eml", {"1", "5"}}, {"b.eml", {"text"}}}, {"a.eml", "b.eml", "z.eml"}),
              std::vector<std::string>{});
    EXPECT_EQ(check_expectations(expected, {}, {"b.eml"}).back(), "a.eml is listed but is not in the corpus");
    EXPECT_THROW(parse_expectations("a.eml\n"), std::runtime_error);
}

} // namespace
} // namespace difftest
