// Faults along a copy, through the qvmigrate program, the real plug-in and
// ews-sandbox's fault rules.  Whatever goes wrong, every item the source
// listed ends either in the target or counted failed, the exit status is 1,
// and the counts add up: listed = migrated + duplicates + outside dates +
// skipped + failed.
#include <gtest/gtest.h>

#include <cstdlib>

#include "dump_compare.hpp"
#include "json_util.hpp"
#include "sandbox_process.hpp"
#include "test_support.hpp"
#include "tool_runner.hpp"

#ifndef QV_SANDBOX_PATH
#error "QV_SANDBOX_PATH must name the ews-sandbox executable"
#endif

namespace qvmigrate {
namespace {

using namespace qvm_test;

constexpr const char *kSource = "source@example.com";
constexpr const char *kPassword = "Src-pw1";
constexpr const char *kOrg = "m-0123456789abcdef0123456789abcdef";
constexpr const char *kRole = "copy-role";
constexpr const char *kAccessKey = "AKIAFAULTMATRIX";
constexpr const char *kSecret = "matrix-secret";
constexpr int kSmallFolderItems = 6;
constexpr int kBigFolderItems = 501; // one item past the first FindItem page

// One message file; `padding` bytes of attachment make it as large as needed.
std::string Message(const std::string &folder, int n, std::size_t padding = 0)
{
    const std::string subject = "Fault " + folder + " " + std::to_string(n);
    std::string text = "From: Ann <ann@example.org>\r\nTo: source@example.com\r\nSubject: " +
                       subject + "\r\nDate: Mon, 1 Jan 2024 12:" + std::to_string(10 + n % 50) +
                       ":00 +0000\r\nMessage-ID: <" + folder + std::to_string(n) +
                       "@example.org>\r\nMIME-Version: 1.0\r\n";
    if (padding == 0)
        return text + "Content-Type: text/plain\r\n\r\nBody " + std::to_string(n) + "\r\n";
    std::string lines;
    for (std::size_t i = 0; i < padding / 76 + 1; ++i)
        lines += std::string(76, "QW"[i % 2]) + "\r\n";
    return text + "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
                  "Content-Type: text/plain\r\n\r\nBody\r\n--b\r\nContent-Type: text/plain; "
                  "name=\"big.txt\"\r\nContent-Disposition: attachment; filename=\"big.txt\"\r\n\r\n" +
           lines + "--b--\r\n";
}

struct Counts {
    std::int64_t listed = -1, migrated = -1, duplicates = -1, outside = -1, skipped = -1,
                 failed = -1;
};

class FaultMatrix : public ::testing::Test {
  protected:
    static inline TempDir *temp = nullptr;
    static inline std::string setup_failure;

    static fs::path data() { return temp->path() / "sandbox"; }

    static void sandbox(std::vector<std::string> args)
    {
        args.insert(args.begin(), QV_SANDBOX_PATH);
        const CommandResult result = run_command(args, 300s);
        if (result.status != 0)
            throw std::runtime_error(args[1] + " failed: " + result.output);
    }

    static void Seed(const std::string &folder, int count, int big_at = -1)
    {
        const fs::path dir = temp->path() / ("eml-" + folder);
        fs::create_directories(dir);
        for (int n = 0; n < count; ++n) {
            char name[16];
            std::snprintf(name, sizeof name, "%04d.eml", n);
            write_file(dir / name, Message(folder, n, n == big_at ? 30000 : 0));
        }
        sandbox({"seed", "--data", data().string(), "--mailbox", kSource, "--eml-dir",
                 dir.string(), "--folder", folder});
    }

    static void SetUpTestSuite()
    {
        temp = new TempDir;
        try {
            fs::create_directories(data());
            sandbox({"user", "add", "--data", data().string(), "--mailbox", kSource,
                     "--password", kPassword});
            Seed("Big", kBigFolderItems);
            Seed("Small", kSmallFolderItems);
            Seed("Mixed", 5, 2);
        } catch (const std::exception &e) {
            setup_failure = e.what();
        }
    }
    static void TearDownTestSuite()
    {
        delete temp;
        temp = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(setup_failure.empty()) << setup_failure;
        name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        scratch = temp->path() / name;
        fs::create_directories(scratch);
        target = "target-" + std::to_string(++targets) + "@example.com";
        sandbox({"user", "add", "--data", data().string(), "--mailbox", target, "--password",
                 "Tgt-pw1"});
    }

    // Starts a sandbox of its own with these fault rules and serve options.
    void StartServer(const std::string &rules, const std::vector<std::string> &serve = {})
    {
        const fs::path faults = scratch / "faults.json";
        write_file(faults, rules);
        std::string args = "--faults " + faults.string();
        for (const std::string &word : serve)
            args += " " + word;
        const char *previous = std::getenv(kServeArgsVariable);
        const std::string saved = previous ? previous : "";
        setenv(kServeArgsVariable, (saved + " " + args).c_str(), 1);
        server = std::make_unique<SandboxServer>(QV_SANDBOX_PATH, data(), scratch / "sandbox.log",
                                                 30s);
        setenv(kServeArgsVariable, saved.c_str(), 1);
    }

    // Copies one folder of the source into the test's own target mailbox.
    ToolRun Copy(const std::string &folder, std::vector<std::string> target_side = {},
                 std::vector<std::string> secrets = {})
    {
        std::vector<std::string> args = {
            "copy", "--json", "--folder", folder, "--from-server", server->where().url,
            "--from-user", kSource, "--from-password-env", "S_PW", "--to-server",
            server->where().url, "--to-user", target, "--ca-file", server->where().ca_file,
            "--state", (scratch / "state").string()};
        if (target_side.empty())
            target_side = {"--to-password-env", "T_PW"};
        args.insert(args.end(), target_side.begin(), target_side.end());
        secrets.push_back(env("S_PW", kPassword));
        secrets.push_back(env("T_PW", "Tgt-pw1"));
        return run_qvmigrate(args, secrets, scratch);
    }

    Counts Totals(const ToolRun &run)
    {
        Counts counts;
        const JsonParse summary = parse_json(run.out);
        EXPECT_TRUE(summary.root) << summary.error << run.out << run.err;
        if (!summary.root)
            return counts;
        const cJSON *totals = json_member(summary.root.get(), "totals");
        auto value = [&](const char *key) { return json_integer(totals, key, 0, 1'000'000).value_or(-1); };
        counts = {value("source_total"), value("migrated"), value("duplicates"),
                  value("outside_dates"), value("skipped"), value("failed")};
        return counts;
    }

    std::size_t ItemsInTarget()
    {
        const fs::path out = scratch / "dump";
        sandbox({"dump", "--data", data().string(), "--mailbox", target, "--out", out.string()});
        return load_dump(out).items.size();
    }

    // What every row of the matrix must show.
    void ExpectAccounted(const ToolRun &run, int listed, int at_least_failed)
    {
        EXPECT_EQ(run.status, kExitItemsFailed) << run.err << run.out;
        const Counts c = Totals(run);
        EXPECT_EQ(c.listed, listed);
        EXPECT_EQ(c.listed, c.migrated + c.duplicates + c.outside + c.skipped + c.failed) << run.out;
        EXPECT_GE(c.failed, at_least_failed) << run.out;
        EXPECT_EQ(static_cast<std::int64_t>(ItemsInTarget()), c.migrated) << run.out;
        EXPECT_EQ(c.migrated + c.failed, listed) << run.out; // nothing here is skipped
    }

    static inline int targets = 0;
    std::string name, target;
    fs::path scratch;
    std::unique_ptr<SandboxServer> server;
};

TEST_F(FaultMatrix, SecondFindItemPageErrorAt200)
{
    StartServer(R"({"operation": "FindItem", "kind": "response_error",
                    "response_code": "ErrorInternalServerTransientError", "after": 1, "count": 3})");
    const ToolRun run = Copy("Big");
    ExpectAccounted(run, kBigFolderItems, 1);
    EXPECT_EQ(Totals(run).migrated, 500);
}

TEST_F(FaultMatrix, GetItemErrorAt200)
{
    StartServer(R"({"operation": "GetItem", "kind": "response_error",
                    "response_code": "ErrorMailboxStoreUnavailable", "after": 2, "count": 3})");
    const ToolRun run = Copy("Small");
    ExpectAccounted(run, kSmallFolderItems, 1);
    EXPECT_EQ(Totals(run).failed, 1);
}

TEST_F(FaultMatrix, GetItem503PastTheRetries)
{
    StartServer(R"({"operation": "GetItem", "kind": "http_status", "status": 503,
                    "after": 4, "count": 3})");
    const ToolRun run = Copy("Small");
    ExpectAccounted(run, kSmallFolderItems, 1);
    EXPECT_EQ(Totals(run).failed, 1);
}

TEST_F(FaultMatrix, CreateFolderError)
{
    StartServer(R"({"operation": "CreateFolder", "kind": "response_error",
                    "response_code": "ErrorAccessDenied"})");
    const ToolRun run = Copy("Small");
    ExpectAccounted(run, kSmallFolderItems, kSmallFolderItems);
}

TEST_F(FaultMatrix, OneRefusedMessageInABundle)
{
    StartServer("[]", {"--max-message-bytes", "20000"});
    const ToolRun run = Copy("Mixed", {"--to-password-env", "T_PW", "--to-switches", "/D251 3"});
    ExpectAccounted(run, 5, 1);
    EXPECT_EQ(Totals(run).failed, 1);
}

// The target logs on with a role whose token lives six seconds; every
// renewal is refused, so the items written after it ran out (one every
// one and a half seconds) fail.
TEST_F(FaultMatrix, TokenRenewalRefused)
{
    sandbox({"role", "add", "--data", data().string(), "--org", kOrg, "--role", kRole,
             "--access-key", kAccessKey, "--secret", kSecret, "--mailboxes", target});
    StartServer(R"({"operation": "AssumeImpersonationRole", "kind": "response_error",
                    "response_code": "AccessDeniedException", "status": 403,
                    "after": 1, "count": 1000})",
                {"--token-lifetime", "6"});
    const ToolRun run =
        Copy("Small",
             {"--to-role", kRole, "--to-org", kOrg, "--to-access-key-env", "T_KEY",
              "--to-secret-env", "T_SECRET", "--to-api-endpoint",
              server->where().url.substr(0, server->where().url.find("/EWS")) + "/",
              "--to-switches", "/SLEEP 1500"},
             {env("T_KEY", kAccessKey), env("T_SECRET", kSecret)});
    ExpectAccounted(run, kSmallFolderItems, 1);
    const std::string log = read_file(scratch / "state" / "qvmigrate.log");
    EXPECT_NE(log.find("QV Warning: impersonation token not renewed"), std::string::npos);
}

} // namespace
} // namespace qvmigrate
