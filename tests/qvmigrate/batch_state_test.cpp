// The batch state across runs: a pair run again after a crash keeps what
// the first run migrated, does not call its own copies duplicates, and
// keeps only the failed items of the latest run.
#include <gtest/gtest.h>

#include "batch_state.hpp"
#include "test_support.hpp"

namespace qvmigrate {
namespace {

using namespace qvm_test;

FolderCounts folder(const std::string &path, int total, int migrated, int duplicates, int failed) {
    FolderCounts counts;
    counts.path = path;
    counts.kind = "mail";
    counts.source_total = total;
    counts.migrated = migrated;
    counts.duplicates = duplicates;
    counts.failed = failed;
    return counts;
}

TEST(BatchState, SecondRunAddsToTheFirstAndSettlesTheStatus) {
    TempDir temp;
    const auto file = temp.path() / "batch.sqlite";
    {
        BatchState state(file);
        state.add_plan({{2, "a@x.org", "b@x.org", {}}, {3, "c@x.org", "d@x.org", {}}});
        state.mark_running("a@x.org", "b@x.org");
        JobSummary first;
        first.folders = {folder("Inbox", 40, 25, 0, 0)};
        first.folders[0].notes = {"interrupted"};
        first.error = "interrupted";
        first.exit_status = kExitItemsFailed;
        state.record_run("a@x.org", "b@x.org", first, 3.5);
    }
    BatchState state(file); // what a rerun sees
    MailboxRecord record = state.mailbox("a@x.org", "b@x.org");
    EXPECT_EQ(record.status, MailboxStatus::Failed);
    EXPECT_EQ(record.error, "interrupted");
    ASSERT_EQ(record.folders.size(), 1u);
    EXPECT_EQ(record.folders[0].status, "interrupted");
    EXPECT_EQ(state.mailbox("c@x.org", "d@x.org").status, MailboxStatus::Pending);

    state.add_plan({{2, "a@x.org", "b@x.org", {}}}); // known pairs keep their state
    state.mark_running("a@x.org", "b@x.org");
    JobSummary second;
    second.folders = {folder("Inbox", 41, 14, 27, 1)}; // 25 own copies + 2 found in the target
    second.folders[0].failed_items = {{"Big <one>", "2026-03-01T10:00:00Z", "refused"}};
    state.record_run("a@x.org", "b@x.org", second, 2);
    record = state.mailbox("a@x.org", "b@x.org");
    EXPECT_EQ(record.attempts, 2);
    EXPECT_EQ(record.status, MailboxStatus::Failed); // an item failed
    const FolderCounts &c = record.folders[0].counts;
    EXPECT_EQ(c.migrated, 39);
    EXPECT_EQ(c.duplicates, 2);
    EXPECT_EQ(c.source_total, 41);
    EXPECT_EQ(record.folders[0].status, "failed");
    ASSERT_EQ(c.failed_items.size(), 1u);
    EXPECT_EQ(c.failed_items[0].subject, "Big <one>");

    JobSummary third;
    third.folders = {folder("Inbox", 41, 1, 40, 0)};
    state.record_run("a@x.org", "b@x.org", third, 1);
    record = state.mailbox("a@x.org", "b@x.org");
    EXPECT_EQ(record.status, MailboxStatus::Done);
    EXPECT_EQ(record.folders[0].counts.migrated, 40);
    EXPECT_EQ(record.folders[0].counts.duplicates, 1); // 39 were the batch's own copies
    EXPECT_TRUE(record.folders[0].counts.failed_items.empty());

    state.mark_failed("c@x.org", "d@x.org", "the worker was ended by signal Killed");
    EXPECT_EQ(state.mailbox("c@x.org", "d@x.org").status, MailboxStatus::Failed);
    state.record_rate(12.5);
    EXPECT_DOUBLE_EQ(state.measured_rate(), 12.5);
}

} // namespace
} // namespace qvmigrate
