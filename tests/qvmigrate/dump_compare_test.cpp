// The demo's check: dumps of two mailboxes agree when the copy is whole,
// and each kind of damage is reported.  Also the sandbox's listening line.
#include <gtest/gtest.h>

#include "dump_compare.hpp"
#include "sandbox_process.hpp"
#include "test_support.hpp"

namespace qvmigrate {
namespace {

using namespace qvm_test;

// A dump of one folder tree and one message, as `ews-sandbox dump` writes it.
const std::string kFolders = read_file(fs::path(QV_TEST_DATA_DIR) / "qvmigrate" / "dump-folders.json");
const std::string kItem = read_file(fs::path(QV_TEST_DATA_DIR) / "qvmigrate" / "dump-item.json");
const std::string kEml = read_file(fs::path(QV_TEST_DATA_DIR) / "qvmigrate" / "dump-item.eml");

using Items = std::vector<std::pair<std::string, std::string>>;

struct Damage {
    const char *name;
    std::string folders, item, eml;
    const char *reported;
};

class DumpCompare : public ::testing::TestWithParam<Damage> {};

TEST(DumpCompareWhole, IdenticalDumpsPass) {
    TempDir temp;
    write_dump(temp.path() / "s", kFolders, {{kItem, kEml}});
    // Another program's MIME for the same content, and categories in
    // another order, still match.
    write_dump(temp.path() / "t", kFolders, {{replaced(kItem, "[\"b\", \"a\"]", "[\"a\", \"b\"]"),
                                              replaced(kEml, "JVBERi0xLjQK", "JVBE\r\nRi0x\r\nLjQK")}});
    const CheckOutcome outcome = compare_dumps(load_dump(temp.path() / "s"), load_dump(temp.path() / "t"));
    EXPECT_TRUE(outcome.passed) << ::testing::PrintToString(outcome.differences);
}

TEST_P(DumpCompare, ReportsTheDamage) {
    TempDir temp;
    write_dump(temp.path() / "s", kFolders, {{kItem, kEml}});
    const Damage &d = GetParam();
    write_dump(temp.path() / "t", d.folders, d.item.empty() ? Items{} : Items{{d.item, d.eml}});
    const CheckOutcome outcome = compare_dumps(load_dump(temp.path() / "s"), load_dump(temp.path() / "t"));
    EXPECT_FALSE(outcome.passed);
    EXPECT_TRUE(mentions(outcome.differences, d.reported)) << ::testing::PrintToString(outcome.differences);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DumpCompare,
    ::testing::Values(
        Damage{"ItemMissing", replaced(kFolders, "\"total\": 1", "\"total\": 0"), "", "", "missing in the target"},
        Damage{"UserFolderMissing", replaced(kFolders, "Inbox/Projects", "Inbox/Other"), kItem, kEml,
               "folder Inbox/Projects is missing"},
        Damage{"ReadState", kFolders, replaced(kItem, "\"is_read\": false", "\"is_read\": true"), kEml, "read state"},
        Damage{"Flag", kFolders, replaced(kItem, "\"flag_status\": 2", "\"flag_status\": null"), kEml, "flag"},
        Damage{"Category", kFolders, replaced(kItem, "\"a\"]", "\"c\"]"), kEml, "categories"},
        Damage{"Subject", kFolders, replaced(kItem, "\"Hi\"", "\"Hi!\""), kEml, "subject"},
        Damage{"Body", kFolders, kItem, replaced(kEml, "Hello", "Hallo"), "text body"},
        Damage{"AttachmentBytes", kFolders, kItem, replaced(kEml, "JVBERi0xLjQK", "JVBERi0xLjUK"),
               "attachment content"},
        Damage{"AttachmentName", kFolders, replaced(kItem, "a.pdf", "b.pdf"), kEml, "attachment \"a.pdf\""}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(SandboxListeningLine, Parses) {
    const auto where = parse_listening_line("listening https://127.0.0.1:4433/EWS/Exchange.asmx ca=/tmp/d/ca.pem\n");
    ASSERT_TRUE(where);
    EXPECT_EQ(where->url, "https://127.0.0.1:4433/EWS/Exchange.asmx");
    EXPECT_EQ(where->ca_file, "/tmp/d/ca.pem");
    for (const char *bad : {"listening on port 4433", "listening http://127.0.0.1:1/ ca=/x",
                            "listening https://127.0.0.1:1/EWS/Exchange.asmx ca=", "serving https://x ca=/y"})
        EXPECT_FALSE(parse_listening_line(bad)) << bad;
}

} // namespace
} // namespace qvmigrate
