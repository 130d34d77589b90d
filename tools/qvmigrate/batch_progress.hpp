// batch_progress.hpp - the batch on a terminal: a line per running mailbox
// (phase, folder, items and bytes done of total, items per second) and an
// overall line (items done of total, rate, time left, and with --deadline
// whether the plan fits).  Off a terminal, a line when a mailbox starts
// and ends.
#pragma once

#include <chrono>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>

#include "batch_worker.hpp"

namespace qvmigrate {

// When the rest of the plan ends at a rate, and whether that is in time.
struct FinishEstimate {
    bool known = false;        // a rate to go by
    double seconds_left = 0;
    bool fits = true;          // before the deadline (true without one)
    double margin_seconds = 0; // deadline minus the estimated end; negative: late
};

// `rate`: items per second of the batch as a whole; `now` and `deadline`
// in seconds since the epoch (deadline 0: none).
FinishEstimate estimate_finish(long long items_left, double rate, double now, double deadline);

// "1 h 05 min", "4 min 10 s", "12 s".
std::string duration_text(double seconds);
// "812 KB", "3.4 MB".
std::string bytes_text(long long bytes);

class BatchProgress {
  public:
    BatchProgress(bool terminal, std::ostream &out, double deadline);

    // Items of the plan known before it runs (dry run, earlier runs), and
    // those of the mailboxes earlier runs finished (not counted in the rate).
    void set_known(long long items_total, long long items_done);

    void started(const std::string &pair, int expected_items);
    void update(const std::string &pair, const WorkerProgress &progress);
    void ended(const std::string &pair, const std::string &outcome);
    // Redraws when due (or at once).
    void draw(bool now = false);
    void clear();

    long long items_done() const;
    long long items_total() const;
    double items_per_second() const;

  private:
    struct Running {
        WorkerProgress progress;
        int expected = 0;
        std::chrono::steady_clock::time_point started;
    };
    std::string mailbox_line(const std::string &pair, const Running &running) const;
    std::string overall_line() const;

    bool terminal_;
    std::ostream &out_;
    double deadline_;
    long long known_total_ = 0, finished_done_ = 0, finished_total_ = 0, done_before_ = 0;
    std::map<std::string, Running> running_;
    std::chrono::steady_clock::time_point started_, drawn_;
    int lines_drawn_ = 0;
};

} // namespace qvmigrate
