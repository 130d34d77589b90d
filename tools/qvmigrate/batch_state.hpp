// batch_state.hpp - what a batch knows across runs, in SQLite
// (STATE/batch.sqlite, WAL): per mailbox pair its status (pending,
// running, done, failed), attempts and last error; per folder its counts
// and status; the failed items of the last run; the differences --verify
// found; the item counts a dry run listed; the measured rate.
//
// The coordinator and its workers each open their own connection; writes
// are short transactions that wait for one another (busy timeout).
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "batch_plan.hpp"
#include "summary.hpp"

struct sqlite3;

namespace qvmigrate {

enum class MailboxStatus { Pending, Running, Done, Failed };
std::string status_name(MailboxStatus status);

struct FolderRecord {
    FolderCounts counts; // migrated: over all runs; duplicates: not counting earlier runs' items
    std::string status;  // "done" or "failed"
};

struct MailboxRecord {
    std::string source, target;
    MailboxStatus status = MailboxStatus::Pending;
    int attempts = 0;
    std::string error = {};
    double seconds = 0; // of the last run
    std::vector<FolderRecord> folders = {};
    std::vector<std::string> differences = {}; // --verify
    bool verified = false;
    int listed_items = -1; // from a dry run; -1 unknown
};

class BatchState {
  public:
    // Opens the store, creating it and its tables when `create` (the
    // coordinator; workers open what it made, since setting up a WAL store
    // from several processes at once can fail).  Throws std::runtime_error.
    explicit BatchState(const std::filesystem::path &file, bool create = true);
    ~BatchState();
    BatchState(const BatchState &) = delete;
    BatchState &operator=(const BatchState &) = delete;

    // Adds the pairs not known yet as pending.
    void add_plan(const std::vector<PlanLine> &plan);
    MailboxRecord mailbox(const std::string &source, const std::string &target) const;

    void mark_running(const std::string &source, const std::string &target);
    // A worker that ended without recording its result.
    void mark_failed(const std::string &source, const std::string &target,
                     const std::string &error);
    // The result of one run: folder counts merged with the earlier runs',
    // the failed items replaced, and the status from the run's outcome.
    void record_run(const std::string &source, const std::string &target,
                    const JobSummary &summary, double seconds);
    void record_differences(const std::string &source, const std::string &target,
                            const std::vector<std::string> &differences);
    void record_listing(const std::string &source, const std::string &target, int items);

    // Items per second of one worker, as last measured (0: never).
    double measured_rate() const;
    void record_rate(double items_per_second);

  private:
    void store_differences(const std::string &source, const std::string &target,
                           const std::vector<std::string> &differences);
    void exec(const std::string &sql) const;
    struct Closer {
        void operator()(sqlite3 *db) const;
    };
    std::unique_ptr<sqlite3, Closer> db_;
};

inline constexpr const char *kBatchStateName = "batch.sqlite";

} // namespace qvmigrate
