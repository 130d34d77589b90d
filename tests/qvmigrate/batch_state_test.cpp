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

// "STATUS ATTEMPTS: PATH STATUS MIGRATED/DUPLICATES/TOTAL [FAILED SUBJECTS]..." of a pair.
std::string described(const MailboxRecord &record) {
    std::string text = status_name(record.status) + " " + std::to_string(record.attempts) + ":";
    for (const FolderRecord &f : record.folders) {
        text += " " + f.counts.path + " " + f.status + " " + std::to_string(f.counts.migrated) + "/" +
                std::to_string(f.counts.duplicates) + "/" + std::to_string(f.counts.source_total);
        for (const FailedItem &item : f.counts.failed_items)
            text += " [" + item.subject + "]";
    }
    return text;
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
    EXPECT_EQ(described(state.mailbox("a@x.org", "b@x.org")), "failed 1: Inbox interrupted 25/0/40");
    EXPECT_EQ(state.mailbox("a@x.org", "b@x.org").error, "interrupted");
    EXPECT_EQ(state.mailbox("c@x.org", "d@x.org").status, MailboxStatus::Pending);

    state.add_plan({{2, "a@x.org", "b@x.org", {}}}); // known pairs keep their state
    state.mark_running("a@x.org", "b@x.org");
    JobSummary second;
    second.folders = {folder("Inbox", 41, 14, 27, 1)}; // 25 own copies + 2 found in the target
    second.folders[0].failed_items = {{"Big <one>", "2026-03-01T10:00:00Z", "refused"}};
    state.record_run("a@x.org", "b@x.org", second, 2);
    // An item failed.
    EXPECT_EQ(described(state.mailbox("a@x.org", "b@x.org")), "failed 2: Inbox failed 39/2/41 [Big <one>]");

    JobSummary third;
    third.folders = {folder("Inbox", 41, 1, 40, 0)};
    state.record_run("a@x.org", "b@x.org", third, 1);
    // 39 of the 40 found in the target were the batch's own copies.
    EXPECT_EQ(described(state.mailbox("a@x.org", "b@x.org")), "done 2: Inbox done 40/1/41");

    state.mark_failed("c@x.org", "d@x.org", "the worker was ended by signal Killed");
    EXPECT_EQ(state.mailbox("c@x.org", "d@x.org").status, MailboxStatus::Failed);
    state.record_rate(12.5);
    EXPECT_DOUBLE_EQ(state.measured_rate(), 12.5);
}

} // namespace
} // namespace qvmigrate
