// Faults along a copy, through the qvmigrate program, the real plug-in and
// ews-sandbox's fault rules.  Whatever goes wrong, every item the source
// listed ends either in the target or counted failed, the exit status is 1,
// and the counts add up: listed = migrated + duplicates + outside dates +
// skipped + failed.  (A folder that cannot be created and a message
// refused inside a bundle: the connector's WriteSandbox tests and the job
// drivers' with the stand-in connector.)
#include <gtest/gtest.h>

#include "sandbox_suite.hpp"

namespace qvmigrate {
namespace {

using namespace qvm_test;

constexpr const char *kSource = "source@example.com";
constexpr const char *kPassword = "Src-pw1";
constexpr const char *kRole = "copy-role";
constexpr const char *kAccessKey = "AKIAFAULTMATRIX";
constexpr const char *kSecret = "matrix-secret";
constexpr int kSmallFolderItems = 6;
constexpr int kBigFolderItems = 501; // one item past the first FindItem page

// One message file.
std::string Message(const std::string &folder, int n)
{
    return "From: Ann <ann@example.org>\r\nTo: source@example.com\r\nSubject: Fault " + folder + " " +
           std::to_string(n) + "\r\nDate: Mon, 1 Jan 2024 12:" + std::to_string(10 + n % 50) +
           ":00 +0000\r\nMessage-ID: <" + folder + std::to_string(n) +
           "@example.org>\r\nMIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\nBody " + std::to_string(n) + "\r\n";
}

class FaultMatrix : public SandboxSuite<FaultMatrix> {
  protected:
    static void Seed(const std::string &folder, int count)
    {
        std::vector<std::string> messages;
        for (int n = 0; n < count; ++n)
            messages.push_back(Message(folder, n));
        seed(kSource, folder, messages);
    }

    static void SetUpTestSuite()
    {
        open([] {
            add_user(kSource, kPassword);
            Seed("Big", kBigFolderItems);
            Seed("Small", kSmallFolderItems);
        });
    }

    void SetUp() override
    {
        SandboxSuite::SetUp();
        target = "target-" + std::to_string(++targets) + "@example.com";
        add_user(target, "Tgt-pw1");
    }

    // Starts a sandbox of its own with these fault rules and serve options.
    void StartServer(const std::string &rules, const std::vector<std::string> &serve = {})
    {
        const fs::path faults = scratch / "faults.json";
        write_file(faults, rules);
        start_server(join({{"--faults", faults.string()}, serve}));
    }

    // Copies one folder of the source into the test's own target mailbox.
    ToolRun Copy(const std::string &folder, std::vector<std::string> target_side = {},
                 std::vector<std::string> secrets = {})
    {
        if (target_side.empty())
            target_side = side("to-", target, "T_PW");
        std::vector<std::string> args =
            join({{"copy", "--json", "--folder", folder}, side("from-", kSource, "S_PW"), target_side, common()});
        if (!source_switches.empty())
            args.insert(args.end(), {"--from-switches", source_switches});
        secrets.push_back(env("S_PW", kPassword));
        secrets.push_back(env("T_PW", "Tgt-pw1"));
        return run_qvmigrate(args, secrets, scratch);
    }

    // What every row of the matrix must show.
    void ExpectAccounted(const ToolRun &run, int listed, int at_least_failed)
    {
        EXPECT_EQ(run.status, kExitItemsFailed) << run.err << run.out;
        auto count = [&](const char *key) { return total(run, key); };
        EXPECT_EQ(count("source_total"), listed);
        EXPECT_EQ(listed, count("migrated") + count("duplicates") + count("outside_dates") +
                              count("skipped") + count("failed")) << run.out;
        EXPECT_GE(count("failed"), at_least_failed) << run.out;
        EXPECT_EQ(static_cast<std::int64_t>(dump(target, "dump").items.size()), count("migrated")) << run.out;
        EXPECT_EQ(count("migrated") + count("failed"), listed) << run.out; // nothing here is skipped
    }

    static inline int targets = 0;
    std::string target;
    std::string source_switches;
};

TEST_F(FaultMatrix, SecondFindItemPageErrorAt200)
{
    StartServer(R"({"operation": "FindItem", "kind": "response_error",
                    "response_code": "ErrorInternalServerTransientError", "after": 1, "count": 3})");
    const ToolRun run = Copy("Big");
    ExpectAccounted(run, kBigFolderItems, 1);
    EXPECT_EQ(total(run, "migrated"), 500);
}

// The rule fails GetItem requests in the order they arrive; read ahead,
// the failures would fall on several items that each recover.  One item
// failing past its retries needs that item's attempts back to back.  (An
// HTTP 503 instead is the connector's ConvertFolderSandbox tests' case:
// the host's accounting is the same.)
TEST_F(FaultMatrix, GetItemErrorAt200)
{
    source_switches = "/EWSPREFETCH 1";
    StartServer(R"({"operation": "GetItem", "kind": "response_error",
                    "response_code": "ErrorMailboxStoreUnavailable", "after": 2, "count": 3})");
    const ToolRun run = Copy("Small");
    ExpectAccounted(run, kSmallFolderItems, 1);
    EXPECT_EQ(total(run, "failed"), 1);
}

// The target logs on with a role whose token lives six seconds; every
// renewal is refused, so the items written after it ran out (one every
// one and a half seconds) fail.
TEST_F(FaultMatrix, TokenRenewalRefused)
{
    add_role(kRole, kAccessKey, kSecret, target);
    StartServer(R"({"operation": "AssumeImpersonationRole", "kind": "response_error",
                    "response_code": "AccessDeniedException", "status": 403,
                    "after": 1, "count": 1000})",
                {"--token-lifetime", "6"});
    const ToolRun run =
        Copy("Small",
             {"--to-server", server->where().url, "--to-user", target, "--to-role", kRole, "--to-org",
              kSandboxOrg, "--to-access-key-env", "T_KEY", "--to-secret-env", "T_SECRET",
              "--to-api-endpoint", server->base_url() + "/", "--to-switches", "/SLEEP 1500"},
             {env("T_KEY", kAccessKey), env("T_SECRET", kSecret)});
    ExpectAccounted(run, kSmallFolderItems, 1);
    const std::string log = read_file(scratch / "state" / "qvmigrate.log");
    EXPECT_NE(log.find("QV Warning: impersonation token not renewed"), std::string::npos);
}

} // namespace
} // namespace qvmigrate
