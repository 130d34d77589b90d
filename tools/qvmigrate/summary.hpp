// summary.hpp - what a job did, folder by folder: the progress line while
// it runs, the table at the end, and the same as JSON (--json).
#pragma once

#include <chrono>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace qvmigrate {

// Exit statuses of qvmigrate.
inline constexpr int kExitOk = 0;
inline constexpr int kExitItemsFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitLogonFailed = 3;

// An item the target did not take, for reports.
struct FailedItem {
    std::string subject, date; // date: ISO UTC, "" when the item has none
    std::string reason;
};

struct FolderCounts {
    std::string path; // display path
    std::string kind; // "mail", "contacts", "calendar", "tasks"
    int source_total = 0;
    int migrated = 0; // exported into the archive, or written to the target
    int duplicates = 0;
    int outside_dates = 0;
    int skipped = 0;
    int failed = 0; // not taken over: refused, lost or never reported
    double seconds = 0;
    std::vector<std::string> notes = {};
    std::vector<FailedItem> failed_items = {}; // write side; named where known

    void add(const FolderCounts &other);
};

struct CheckOutcome {
    bool passed = false;
    std::vector<std::string> differences;
};

struct JobSummary {
    std::string command;
    std::string source, target; // mailboxes; empty when the job has no such side
    std::string archive;        // archive or staging folder; empty when removed
    std::string log_file;
    std::vector<FolderCounts> folders;
    std::string error;          // why the job stopped early
    int exit_status = kExitOk;
    std::optional<CheckOutcome> check; // demo only

    FolderCounts totals() const;
    // 1 when any item failed or the job ended with an error, else the
    // status already set.
    void settle_exit_status();
};

void print_summary_table(std::ostream &out, const JobSummary &summary);
std::string summary_json(const JobSummary &summary);

// One line per folder, rewritten in place on a terminal: items done of
// total and items per second.  Does nothing when not enabled.
class Progress {
  public:
    Progress(bool enabled, std::ostream &out) : enabled_(enabled), out_(out) {}
    virtual ~Progress() = default;
    // A batch worker overrides these to report to its coordinator.
    virtual void start(const std::string &folder, int total);
    virtual void update(int done);
    virtual void finish();

  private:
    void draw();
    bool enabled_;
    std::ostream &out_;
    std::string folder_;
    int total_ = 0, done_ = 0;
    bool active_ = false;
    std::chrono::steady_clock::time_point started_, drawn_;
};

} // namespace qvmigrate
