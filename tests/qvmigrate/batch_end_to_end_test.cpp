// qvmigrate batch against ews-sandbox: sources read with an impersonation
// role, targets written as a delegate administrator.  A dry run writes
// nothing; a run killed outright and run again leaves every message in its
// target exactly once; a mailbox that cannot be read fails alone and is
// taken up again by the next run.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <map>

#include "sandbox_suite.hpp"

namespace qvmigrate {
namespace {

using namespace qvm_test;

const std::string kRole = "batch-role";
const std::string kAccessKey = "AKIABATCHTEST";
const std::string kSecret = "batch-secret/Key+1";
const std::string kAdmin = "admin@example.com";
const std::string kAdminPassword = "Adm1n|batch";
constexpr int kPairs = 4;
constexpr int kInbox = 30, kProjects = 10; // 40 messages a mailbox

std::string source(int n) { return "src" + std::to_string(n) + "@example.com"; }
std::string target(int n) { return "dst" + std::to_string(n) + "@example.com"; }

// Message `i` of `mailbox`, dated 2026-03-02 at minute i.
std::string message(const std::string &mailbox, int i) {
    char date[64];
    std::snprintf(date, sizeof date, "Mon, 02 Mar 2026 %02d:%02d:00 +0000", i / 60, i % 60);
    const std::string n = std::to_string(i);
    return "From: Sender " + n + " <sender@example.org>\r\nTo: " + mailbox + "\r\nSubject: Message " + n +
           " of " + mailbox + "\r\nDate: " + date + "\r\nMessage-ID: <" + n + "." + mailbox +
           ">\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nBody " + n + "\r\n";
}

class QvmigrateBatch : public SandboxSuite<QvmigrateBatch> {
  protected:
    static void seed_range(const std::string &mailbox, const std::string &folder, int first, int count) {
        std::vector<std::string> messages;
        for (int i = first; i < first + count; ++i)
            messages.push_back(message(mailbox, i));
        seed(mailbox, folder, messages);
    }

    // The role covers sources 1 to `last` but `left_out`.
    static void cover(int last, int left_out = 0) {
        std::string list;
        for (int n = 1; n <= last; ++n)
            list += n == left_out ? "" : (list.empty() ? "" : ",") + source(n);
        add_role(kRole, kAccessKey, kSecret, list);
    }

    static void SetUpTestSuite() {
        open([] {
            add_user(kAdmin, kAdminPassword, true);
            for (int n = 1; n <= kPairs + 2; ++n) {
                add_user(source(n), "s-pw");
                add_user(target(n), "t-pw");
                const bool small = n > kPairs;
                seed_range(source(n), "Inbox", 1, small ? 5 : kInbox);
                if (!small)
                    seed_range(source(n), "Inbox/Projects", 100, kProjects);
            }
            cover(kPairs + 2, kPairs + 1); // not source 5 at first
            start_server();
        });
    }

    fs::path write_plan(const std::vector<int> &pairs) const {
        std::string text = "source,target\n";
        for (int n : pairs)
            text += source(n) + "," + target(n) + "\n";
        const fs::path plan = scratch / "plan.csv";
        write_file(plan, text);
        return plan;
    }

    std::vector<std::string> batch_args(const fs::path &plan, std::vector<std::string> more) const {
        const std::string url = server->where().url;
        return join({{"batch", "--plan", plan.string(), "--from-server", url, "--from-role", kRole,
                      "--from-org", kSandboxOrg, "--from-access-key-env", "KEY", "--from-secret-env", "SECRET",
                      "--from-api-endpoint", server->base_url() + "/", "--to-server", url,
                      "--to-delegate", kAdmin, "--to-delegate-password-env", "ADMIN_PW"},
                     common(), more});
    }

    std::vector<std::string> secrets() const {
        return {env("KEY", kAccessKey), env("SECRET", kSecret), env("ADMIN_PW", kAdminPassword)};
    }

    ToolRun run(const fs::path &plan, std::vector<std::string> more, const std::string &name) const {
        const fs::path dir = scratch / name;
        fs::create_directories(dir);
        return run_qvmigrate(batch_args(plan, std::move(more)), secrets(), dir);
    }

    // Message-IDs in the target and how often each is there.
    std::map<std::string, int> target_messages(int n, const std::string &name) const {
        const fs::path out = scratch / ("dump-" + name + "-" + std::to_string(n));
        std::string output;
        const int status = sandbox_test::run_sandbox_cli(
            {"dump", "--mailbox", target(n), "--out", out.string(), "--data", data().string()}, &output);
        std::map<std::string, int> seen;
        if (status != 0 && output.find("no mailbox") != std::string::npos)
            return seen; // never written to
        EXPECT_EQ(status, 0) << output;
        for (const DumpItem &item : load_dump(out).items)
            ++seen[item.message_id];
        return seen;
    }

    // Items the duplicate store holds: items the targets acknowledged.
    long long remembered() const {
        sqlite3 *db = nullptr;
        long long rows = 0;
        const fs::path store = scratch / "state" / "duplicates.sqlite";
        if (fs::exists(store) && sqlite3_open_v2(store.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_busy_timeout(db, 1000);
            sqlite3_stmt *stmt = nullptr;
            if (sqlite3_prepare_v2(db, "SELECT count(*) FROM migrated", -1, &stmt, nullptr) == SQLITE_OK &&
                sqlite3_step(stmt) == SQLITE_ROW)
                rows = sqlite3_column_int64(stmt, 0);
            sqlite3_finalize(stmt);
        }
        sqlite3_close(db);
        return rows;
    }
};

TEST_F(QvmigrateBatch, DryRunWritesNothingAndAKilledRunResumesWithoutDuplicates) {
    static_assert(kPairs == 4);
    const fs::path plan = write_plan({1, 2, 3, 4});

    const ToolRun dry = run(plan, {"--dry-run", "--json", "--jobs", "2", "--deadline", "2099-12-31"}, "dry");
    ASSERT_EQ(dry.status, 0) << dry.err << dry.out;
    const JsonParse listed = parse_json(dry.out);
    ASSERT_TRUE(listed.root) << dry.out;
    const cJSON *mailboxes = json_member(listed.root.get(), "mailboxes");
    ASSERT_EQ(cJSON_GetArraySize(mailboxes), kPairs);
    for (int i = 0; i < kPairs; ++i) {
        const cJSON *pair = cJSON_GetArrayItem(mailboxes, i);
        EXPECT_EQ(json_integer(pair, "items", 0, 1000), kInbox + kProjects) << dry.out;
        EXPECT_EQ(json_bool(pair, "target_writable"), true) << dry.out;
    }
    EXPECT_NE(json_string(listed.root.get(), "estimate").value_or("").find("fits the deadline"),
              std::string::npos) << dry.out;
    for (int n = 1; n <= kPairs; ++n)
        EXPECT_TRUE(target_messages(n, "dry").empty()) << target(n);
    EXPECT_EQ(remembered(), 0);

    // Killed outright once some messages are in.
    const fs::path first_dir = scratch / "first";
    fs::create_directories(first_dir);
    const pid_t first = spawn_qvmigrate(batch_args(plan, {"--jobs", "2"}), secrets(), first_dir);
    ASSERT_GT(first, 0);
    const auto give_up = std::chrono::steady_clock::now() + 240s;
    int status = 0;
    bool ended = false;
    while (remembered() < 25 && std::chrono::steady_clock::now() < give_up) {
        if (waitpid(first, &status, WNOHANG) == first) {
            ended = true;
            break;
        }
        std::this_thread::sleep_for(20ms);
    }
    if (!ended) {
        kill(first, SIGKILL);
        waitpid(first, &status, 0);
    }
    EXPECT_FALSE(ended) << "the first run ended before it could be killed: " << read_file(first_dir / "stderr");
    const long long before = remembered();
    EXPECT_LT(before, kPairs * (kInbox + kProjects));

    const fs::path report = scratch / "report.html";
    const ToolRun again = run(plan, {"--jobs", "2", "--json", "--verify", "--report", report.string()}, "again");
    ASSERT_EQ(again.status, 0) << again.err << again.out;
    for (int n = 1; n <= kPairs; ++n) {
        const auto seen = target_messages(n, "after");
        EXPECT_EQ(seen.size(), static_cast<size_t>(kInbox + kProjects)) << target(n);
        for (const auto &[id, count] : seen)
            EXPECT_EQ(count, 1) << target(n) << " holds " << id << " " << count << " times";
    }
    const JsonParse result = parse_json(again.out);
    ASSERT_TRUE(result.root) << again.out;
    EXPECT_EQ(total(again, "migrated"), kPairs * (kInbox + kProjects)) << again.out;
    EXPECT_EQ(total(again, "duplicates"), 0) << again.out;
    EXPECT_EQ(total(again, "failed"), 0) << again.out;
    const cJSON *pair = nullptr;
    cJSON_ArrayForEach(pair, json_member(result.root.get(), "mailboxes")) {
        EXPECT_EQ(json_string(pair, "status"), "done");
        EXPECT_EQ(cJSON_GetArraySize(json_member(pair, "differences")), 0) << again.out;
    }
    const std::string page = read_file(report);
    EXPECT_NE(page.find("<table class=\"mailboxes\">"), std::string::npos);
    EXPECT_NE(page.find(target(kPairs)), std::string::npos);
}

TEST_F(QvmigrateBatch, FailedMailboxDoesNotStopTheOthersAndIsRetried) {
    const int refused = kPairs + 1, fine = kPairs + 2;
    const fs::path plan = write_plan({refused, fine});
    const ToolRun first = run(plan, {"--jobs", "2", "--json"}, "first");
    EXPECT_EQ(first.status, 1) << first.err;
    const JsonParse parsed = parse_json(first.out);
    ASSERT_TRUE(parsed.root) << first.out;
    const cJSON *mailboxes = json_member(parsed.root.get(), "mailboxes");
    const cJSON *failed = cJSON_GetArrayItem(mailboxes, 0);
    EXPECT_EQ(json_string(failed, "status"), "failed");
    EXPECT_NE(json_string(failed, "error").value_or("").find("logon failed"), std::string::npos) << first.out;
    EXPECT_EQ(json_string(cJSON_GetArrayItem(mailboxes, 1), "status"), "done") << first.out;
    EXPECT_EQ(target_messages(fine, "first").size(), 5u) << first.err;
    EXPECT_TRUE(target_messages(refused, "first").empty());

    cover(kPairs + 2);
    const ToolRun second = run(plan, {"--jobs", "2", "--json"}, "second");
    EXPECT_EQ(second.status, 0) << second.err << second.out;
    const JsonParse retried = parse_json(second.out);
    ASSERT_TRUE(retried.root);
    const cJSON *now = json_member(retried.root.get(), "mailboxes");
    EXPECT_EQ(json_string(cJSON_GetArrayItem(now, 0), "status"), "done");
    EXPECT_EQ(json_integer(cJSON_GetArrayItem(now, 0), "attempts", 0, 9), 2);
    EXPECT_EQ(json_integer(cJSON_GetArrayItem(now, 1), "attempts", 0, 9), 1); // not copied again
    EXPECT_EQ(target_messages(refused, "second").size(), 5u);
    EXPECT_EQ(target_messages(fine, "second").size(), 5u);
}

} // namespace
} // namespace qvmigrate
