// The job drivers through real dlopen'd exports: a stand-in connector with
// a fixed mailbox (fake_plugin/) takes the server's place, so folder
// selection, limits, dates, archive round trips and exit statuses are
// checked whatever state the real connector is in.  A copy and its rerun
// are QvmigrateEndToEnd's and ResumeWithoutDuplicates'.
#include <gtest/gtest.h>

#include "fake_job.hpp"
#include "record_archive.hpp"

namespace qvmigrate {
namespace {

using namespace qvm_test;

class JobDrivers : public FakeJobTest {
  protected:
    static const cJSON *folder(const JsonParse &summary, const std::string &path) {
        for (const cJSON *f = json_member(summary.root.get(), "folders")->child; f; f = f->next) {
            if (json_string(f, "path") == path)
                return f;
        }
        return nullptr;
    }

    static long count(const cJSON *object, const char *key) {
        return static_cast<long>(json_integer(object, key, 0, 1'000'000).value_or(-1));
    }
};

TEST_F(JobDrivers, FolderListShowsPathCountAndKind) {
    const ToolRun listed = run({"folders"}, {side("", "alice@fake")});
    ASSERT_EQ(listed.status, 0) << listed.err;
    const JsonParse parsed = parse_json(listed.out);
    ASSERT_TRUE(parsed.root) << listed.out;
    ASSERT_EQ(cJSON_GetArraySize(parsed.root.get()), 3);
    const cJSON *projects = cJSON_GetArrayItem(parsed.root.get(), 2);
    EXPECT_EQ(json_string(projects, "path"), "Inbox/Projects");
    EXPECT_EQ(count(projects, "count"), 2);
    EXPECT_EQ(json_string(cJSON_GetArrayItem(parsed.root.get(), 0), "kind"), "contacts");
}

TEST_F(JobDrivers, ExportSelectsFoldersAndHonoursLimits) {
    const fs::path archive = temp.path() / "archive";
    const ToolRun exported = run({"export", "--out", archive.string(), "--folder", "inbox", "--max-items", "2"},
                                 {side("", "alice@fake")});
    ASSERT_EQ(exported.status, 0) << exported.err;
    const ArchiveReader reader(archive);
    std::string folders;
    for (const ArchiveFolder &f : reader.manifest().folders)
        folders += f.path + ":" + std::to_string(f.items) + " ";
    EXPECT_EQ(folders, "Inbox:2 Inbox/Projects:2 ");
    const JsonParse summary = parse_json(exported.out);
    ASSERT_TRUE(summary.root);
    EXPECT_EQ(count(folder(summary, "Inbox"), "failed"), 0); // the gap is the limit's
}

TEST_F(JobDrivers, ExportDateRangeCountsTheRestAsOutside) {
    const fs::path archive = temp.path() / "archive";
    const ToolRun exported = run({"export", "--out", archive.string(), "--kind", "mail", "--date-from",
                                  "2026-01-01", "--date-to", "2026-01-02"},
                                 {side("", "alice@fake")});
    ASSERT_EQ(exported.status, 0) << exported.err;
    const JsonParse summary = parse_json(exported.out);
    ASSERT_TRUE(summary.root);
    EXPECT_EQ(folder(summary, "Contacts"), nullptr); // --kind mail
    EXPECT_EQ(count(folder(summary, "Inbox"), "migrated"), 2);
    EXPECT_EQ(count(folder(summary, "Inbox"), "outside_dates"), 1);
    EXPECT_EQ(count(folder(summary, "Inbox/Projects"), "outside_dates"), 2);
}

TEST_F(JobDrivers, ImportOfAnExportWritesTheSameItems) {
    const fs::path archive = temp.path() / "archive";
    ASSERT_EQ(run({"export", "--out", archive.string()}, {side("", "alice@fake")}).status, 0);
    const ToolRun imported = run({"import", "--in", archive.string(), "--folder", "Inbox/Projects"},
                                 {side("", "bob@fake"), store_switch("")});
    ASSERT_EQ(imported.status, 0) << imported.err;
    EXPECT_EQ(written(), (std::vector<std::string>{"Inbox^Projects\t0\tPlan A\t1\t1:6",
                                                   "Inbox^Projects\t0\tPlan B\t1\t1:6"}));
}

TEST_F(JobDrivers, FailuresAndTheirExitStatuses) {
    const ToolRun bad_password = run({"folders", "--server", "fake://server", "--user", "bob@fake",
                                      "--password-env", "WRONG_PW"}, {});
    EXPECT_EQ(bad_password.status, 3);
    EXPECT_NE(bad_password.err.find("QV Error: invalid user name or password"), std::string::npos)
        << bad_password.err;
    const JsonParse failed = parse_json(bad_password.out);
    ASSERT_TRUE(failed.root) << bad_password.out;
    EXPECT_EQ(count(failed.root.get(), "exit_status"), 3);

    const ToolRun no_folder = run({"export", "--out", (temp.path() / "a").string(), "--folder", "Nowhere"},
                                  {side("", "alice@fake")});
    EXPECT_EQ(no_folder.status, 2);
    EXPECT_NE(no_folder.err.find("Nowhere"), std::string::npos);

    // No store for the target: InitWrite refuses every folder, every item fails.
    const ToolRun unwritable = run({"copy"}, {side("from-", "alice@fake"), side("to-", "bob@fake")});
    EXPECT_EQ(unwritable.status, 1) << unwritable.err;
    EXPECT_EQ(total(unwritable, "failed"), 6);
}

// The archive is checked whole before any logon.
TEST_F(JobDrivers, DamagedArchiveIsRefusedBeforeLogon) {
    const fs::path archive = temp.path() / "archive", log = temp.path() / "import.log";
    ASSERT_EQ(run({"export", "--out", archive.string()}, {side("", "alice@fake")}).status, 0);
    fs::resize_file(archive / "0001" / "000001.p000", 4);
    const ToolRun imported = run({"import", "--in", archive.string(), "--log", log.string()},
                                 {side("", "bob@fake"), store_switch("")});
    EXPECT_EQ(imported.status, 1) << imported.err;
    EXPECT_NE(imported.err.find("archive refused: 0001/000001.json: parts[0]: file: 0001/000001.p000 has 4 bytes"),
              std::string::npos) << imported.err;
    EXPECT_EQ(read_file(log).find("session for"), std::string::npos) << "logged on anyway";
    EXPECT_TRUE(written().empty());
    const JsonParse summary = parse_json(imported.out);
    ASSERT_TRUE(summary.root) << imported.out;
    EXPECT_EQ(count(summary.root.get(), "exit_status"), 1);
    EXPECT_NE(json_string(summary.root.get(), "error").value_or("").find("000001.p000"), std::string::npos);
}

} // namespace
} // namespace qvmigrate
