// qvmigrate end to end: the program, the real plug-in and ews-sandbox.
//
// The whole suite is skipped only while the plug-in in this build cannot
// log on yet (its log says "logon is not available"); any other failure to
// log on fails the tests.
#include <gtest/gtest.h>

#include "compare_contacts.hpp"
#include "mime_digest.hpp"
#include "qv/qvcom.h"
#include "record_archive.hpp"
#include "sandbox_suite.hpp"

namespace qvmigrate {
namespace {

using namespace qvm_test;

constexpr const char *kAlice = "alice@example.com";
constexpr const char *kBob = "bob@example.com";
constexpr const char *kCarol = "carol@example.com";
constexpr const char *kAdmin = "admin@example.com";
const std::string kAlicePassword = "Al1ce-pw;with blanks";
const std::string kBobPassword = "B0b-pw";
const std::string kCarolPassword = "Car0l-pw";
const std::string kAdminPassword = "Adm1n|pw/~";

class QvmigrateEndToEnd : public SandboxSuite<QvmigrateEndToEnd> {
  protected:
    static inline std::string skip_reason;

    static void SetUpTestSuite() {
        open([] {
            for (const auto &[box, pw] : {std::pair{kAlice, kAlicePassword}, {kBob, kBobPassword},
                                          {kCarol, kCarolPassword}})
                add_user(box, pw);
            sandbox({"user", "add", "--mailbox", kAdmin, "--password", kAdminPassword, "--delegate-admin"});
            sandbox({"seed", "--mailbox", kAlice, "--demo"});
            start_server();
        });
        if (!server)
            return;
        // Can this build's plug-in log on at all?
        const fs::path probe = temp->path() / "probe";
        fs::create_directories(probe);
        const ToolRun run = run_qvmigrate(
            {"folders", "--server", server->where().url, "--user", kAlice, "--password-env", "PW",
             "--ca-file", server->where().ca_file, "--state", (probe / "state").string()},
            {env("PW", kAlicePassword)}, probe);
        const std::string log = read_file(probe / "state" / "qvmigrate.log");
        if (run.status != 0 && log.find("logon is not available") != std::string::npos)
            skip_reason = "the plug-in in this build cannot log on yet (\"logon is not available\")";
    }

    void SetUp() override {
        SandboxSuite::SetUp();
        if (!skip_reason.empty())
            GTEST_SKIP() << skip_reason;
    }

    std::vector<std::string> side(const std::string &prefix, const std::string &user,
                                  const std::string &variable) const {
        return {"--" + prefix + "server", server->where().url, "--" + prefix + "user", user,
                "--" + prefix + "password-env", variable};
    }

    std::vector<std::string> common(const std::string &state = "state") const {
        return {"--ca-file", server->where().ca_file, "--state", (scratch / state).string()};
    }

    static std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts) {
        std::vector<std::string> all;
        for (const auto &part : parts)
            all.insert(all.end(), part.begin(), part.end());
        return all;
    }
};

TEST_F(QvmigrateEndToEnd, CopyMatchesTheSourceAndASecondCopyIsAllDuplicates) {
    const auto args = join({{"copy", "--json"}, side("from-", kAlice, "A_PW"), side("to-", kBob, "B_PW"), common()});
    const std::vector<std::string> secrets = {env("A_PW", kAlicePassword), env("B_PW", kBobPassword)};
    const ToolRun first = run_qvmigrate(args, secrets, scratch);
    ASSERT_EQ(first.status, 0) << first.err << first.out;
    const std::int64_t migrated = total(first, "migrated");
    ASSERT_GT(migrated, 0) << first.out;

    const MailboxDump source = dump(kAlice, "alice-1");
    const CheckOutcome check = compare_dumps(source, dump(kBob, "bob-1"));
    EXPECT_TRUE(check.passed) << ::testing::PrintToString(check.differences);

    const ToolRun second = run_qvmigrate(args, secrets, scratch);
    ASSERT_EQ(second.status, 0) << second.err << second.out;
    EXPECT_EQ(total(second, "migrated"), 0);
    EXPECT_EQ(total(second, "duplicates"), migrated);
    EXPECT_EQ(dump(kBob, "bob-2").items.size(), source.items.size());
}

// Dates, --max-items and logon failures are the job drivers' (JobDrivers,
// with the stand-in connector) and the connector's own sandbox tests'.

TEST_F(QvmigrateEndToEnd, SecretsStayOutOfLogsAndProcessListings) {
    const fs::path log = scratch / "secrets.log";
    const auto args = join({{"copy", "--log", log.string(), "--from-server", server->where().url,
                             "--from-user", kAlice, "--from-delegate", kAdmin,
                             "--from-delegate-password-env", "ADMIN_PW"},
                            side("to-", kCarol, "C_PW"), common()});
    const ToolRun run = run_qvmigrate(args, {env("ADMIN_PW", kAdminPassword), env("C_PW", kCarolPassword)},
                                  scratch, log);
    EXPECT_EQ(run.status, 0) << run.err;
    std::string scrambled(2 + 2 * kAdminPassword.size(), '\0');
    ASSERT_NE(qvcom_scramble(kAdminPassword.c_str(), scrambled.data(), scrambled.size()), 0);
    scrambled.resize(scrambled.size() - 1);
    const std::string log_text = read_file(log);
    ASSERT_NE(log_text.find("qvmigrate: switches: /AUTHAMZD;admin@example.com|****"), std::string::npos);
    for (const std::string &secret : {kAdminPassword, kCarolPassword, scrambled.substr(1)}) {
        EXPECT_EQ(log_text.find(secret), std::string::npos) << "log holds " << secret;
        EXPECT_EQ(run.out.find(secret), std::string::npos);
        EXPECT_EQ(run.err.find(secret), std::string::npos);
        EXPECT_EQ(run.seen_cmdline.find(secret), std::string::npos);
        EXPECT_EQ(run.seen_environ.find(secret), std::string::npos);
    }
    EXPECT_FALSE(run.seen_cmdline.empty());
}

// The demo's check on the sandbox's real demo content (needs no logon): a
// mailbox agrees with itself and every message shows a body.
class QvmigrateDemoCheck : public SandboxSuite<QvmigrateDemoCheck> {
  protected:
    static void SetUpTestSuite() {
        open([] {
            add_user(kAlice, "x");
            sandbox({"seed", "--mailbox", kAlice, "--demo"});
        });
    }
};

TEST_F(QvmigrateDemoCheck, ReadsTheSandboxsDumps) {
    const MailboxDump a = dump(kAlice, "a");
    ASSERT_GT(a.items.size(), 10u);
    const CheckOutcome same = compare_dumps(a, dump(kAlice, "b"));
    EXPECT_TRUE(same.passed) << ::testing::PrintToString(same.differences);
    for (const DumpItem &item : a.items) {
        if (is_contact(item))
            continue; // a contact's fields are all in its .json
        const MimeDigest digest = digest_mime(read_file(item.eml));
        EXPECT_TRUE(digest.text || digest.html) << item.folder << " " << item.subject;
    }
}

// Needs no working logon: the archive must be refused before one.
TEST(QvmigrateImport, DamagedArchiveIsRefusedBeforeLogon) {
    TempDir temp;
    const fs::path archive = temp.path() / "archive";
    std::string work = temp.prefix();
    {
        Record record = new_record(5);
        set_text(record->subject, "hello");
        add_part(*record, work, QV_PART_TEXT_BODY, "", "body text");
        ArchiveWriter writer(archive, kAlice);
        writer.begin_folder("Inbox", "Inbox", 0, 1);
        writer.write_item(*record, work);
        writer.finish();
        com_Deallocate_All(record.get(), work.c_str());
    }
    fs::resize_file(archive / "0001" / "000001.p000", 4);

    const fs::path log = temp.path() / "import.log";
    // A server that is not there: a logon attempt would end with status 3.
    const ToolRun run = run_qvmigrate(
        {"import", "--json", "--in", archive.string(), "--log", log.string(), "--state",
         (temp.path() / "state").string(), "--server", "https://127.0.0.1:1/EWS/Exchange.asmx",
         "--user", kCarol, "--password-env", "PW"},
        {env("PW", kCarolPassword)}, temp.path());
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("archive refused: 0001/000001.json: parts[0]: file: 0001/000001.p000 has 4 bytes"), std::string::npos) << run.err;
    EXPECT_EQ(read_file(log).find("session for"), std::string::npos) << "logged on anyway";
    const JsonParse summary = parse_json(run.out);
    ASSERT_TRUE(summary.root) << summary.error << run.out;
    EXPECT_EQ(json_integer(summary.root.get(), "exit_status", 0, 9), 1);
    EXPECT_NE(json_string(summary.root.get(), "error").value_or("").find("000001.p000"), std::string::npos);
}

} // namespace
} // namespace qvmigrate
