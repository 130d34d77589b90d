// batch_coordinator.cpp - the scheduler of a batch.
#include "batch_coordinator.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "batch_progress.hpp"
#include "batch_report.hpp"
#include "batch_state.hpp"
#include "cli.hpp"
#include "host_callbacks.hpp"
#include "host_environment.hpp"
#include "json_util.hpp"
#include "plugin_loader.hpp"
#include "private_files.hpp"
#include "text_codec.hpp"

namespace qvmigrate {

namespace fs = std::filesystem;

namespace {

constexpr int kPollMs = 200;
constexpr qv_filetime kUnixEpochTicks = 116'444'736'000'000'000ULL;
// Items a second one worker is taken to manage before a run has measured it.
constexpr double kAssumedRatePerWorker = 5.0;

double unix_seconds(qv_filetime ticks) {
    return ticks > kUnixEpochTicks ? static_cast<double>(ticks - kUnixEpochTicks) / 1e7 : 0;
}

std::string pair_name(const PlanLine &line) {
    return line.source + " -> " + line.target;
}

// The batch lock, held by the coordinator and inherited by its workers: a
// second run on the same state folder waits until every worker of the
// first has ended, so no two processes ever write the same pair.
class BatchLock {
  public:
    explicit BatchLock(const fs::path &file) {
        fd_ = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0)
            throw std::runtime_error("cannot open " + file.string() + ": " + std::strerror(errno));
        if (flock(fd_, LOCK_EX | LOCK_NB) == 0)
            return;
        std::cerr << "qvmigrate: waiting for the workers of an earlier run on this state folder "
                     "to end" << std::endl;
        const auto give_up = std::chrono::steady_clock::now() +
                             std::chrono::seconds(kWorkerGraceSeconds + 30);
        while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (std::chrono::steady_clock::now() > give_up || stop_requested()) {
                close(fd_);
                throw std::runtime_error("another batch is running on the state folder " +
                                         file.parent_path().string());
            }
            usleep(200'000);
        }
    }
    ~BatchLock() { close(fd_); }
    BatchLock(const BatchLock &) = delete;
    BatchLock &operator=(const BatchLock &) = delete;
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
};

// Stage, read-back and working folders of processes that are gone (a
// worker killed outright leaves them).
void remove_leftovers(const fs::path &state_dir) {
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(state_dir, error)) {
        const std::string name = entry.path().filename().string();
        const auto dash = name.find('-');
        if (dash == std::string::npos)
            continue;
        const std::string kind = name.substr(0, dash);
        if (kind != "stage" && kind != "verify" && kind != "work")
            continue;
        const auto pid = parse_decimal_u64(name.substr(dash + 1));
        if (!pid || *pid == 0 || *pid > INT32_MAX)
            continue;
        if (kill(static_cast<pid_t>(*pid), 0) != 0 && errno == ESRCH)
            fs::remove_all(entry.path(), error);
    }
}

std::string exit_text(int status) {
    if (WIFSIGNALED(status))
        return std::string("the worker was ended by signal ") + strsignal(WTERMSIG(status));
    return "the worker ended with status " + std::to_string(WEXITSTATUS(status)) +
           " before it recorded a result";
}

struct Slot {
    const PlanLine *line = nullptr;
    WorkerProcess process;
    std::string buffer;
    std::optional<PairListing> listing;
    std::string error;
};

class Scheduler {
  public:
    Scheduler(const BatchJob &job, BatchState &state, BatchProgress &progress, int jobs)
        : job_(job), state_(state), progress_(progress), jobs_(jobs) {}

    void run(const std::vector<const PlanLine *> &queue,
             const std::map<const PlanLine *, int> &expected) {
        size_t next = 0;
        while (next < queue.size() || !running_.empty()) {
            while (!stop_requested() && static_cast<int>(running_.size()) < jobs_ &&
                   next < queue.size())
                launch(*queue[next++], expected);
            if (stop_requested())
                next = queue.size(); // the rest stays pending for the next run
            wait_for_reports();
            reap();
        }
    }

    std::map<const PlanLine *, PairListing> listings;
    double worker_seconds = 0;

  private:
    void launch(const PlanLine &line, const std::map<const PlanLine *, int> &expected) {
        if (!job_.dry_run)
            state_.mark_running(line.source, line.target);
        Slot slot;
        slot.line = &line;
        slot.process = start_worker(job_, line);
        const auto found = expected.find(&line);
        progress_.started(pair_name(line), found != expected.end() ? found->second : 0);
        started_[slot.process.pid] = std::chrono::steady_clock::now();
        running_.emplace(slot.process.pid, std::move(slot));
    }

    void wait_for_reports() {
        std::vector<pollfd> fds;
        for (const auto &[pid, slot] : running_) {
            if (slot.process.fd >= 0)
                fds.push_back({slot.process.fd, POLLIN, 0});
        }
        if (fds.empty()) {
            usleep(kPollMs * 1000);
        } else if (poll(fds.data(), fds.size(), kPollMs) > 0) {
            for (auto &[pid, slot] : running_)
                drain(slot);
        }
        progress_.draw();
    }

    void drain(Slot &slot) {
        char chunk[4096];
        while (slot.process.fd >= 0) {
            const ssize_t got = read(slot.process.fd, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                break; // nothing more for now
            if (got == 0) {
                close(slot.process.fd);
                slot.process.fd = -1;
                break;
            }
            slot.buffer.append(chunk, static_cast<size_t>(got));
        }
        size_t end;
        while ((end = slot.buffer.find('\n')) != std::string::npos) {
            const std::string line = slot.buffer.substr(0, end);
            slot.buffer.erase(0, end + 1);
            if (auto progress = parse_progress_line(line))
                progress_.update(pair_name(*slot.line), *progress);
            else if (auto listing = parse_listing_line(line))
                slot.listing = std::move(listing);
            else if (line.starts_with("error "))
                slot.error = line.substr(6);
        }
    }

    void reap() {
        int status = 0;
        pid_t pid;
        while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
            const auto found = running_.find(pid);
            if (found == running_.end())
                continue;
            Slot &slot = found->second;
            drain(slot);
            if (slot.process.fd >= 0)
                close(slot.process.fd);
            worker_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                            started_[pid]).count();
            progress_.ended(pair_name(*slot.line), settle(slot, status));
            running_.erase(found);
        }
    }

    // Records what a worker could not, and says how its pair went.
    std::string settle(Slot &slot, int status) {
        const PlanLine &line = *slot.line;
        if (job_.dry_run) {
            PairListing listing = slot.listing.value_or(PairListing{});
            if (!slot.listing)
                listing.error = slot.error.empty() ? exit_text(status) : slot.error;
            const std::string outcome = listing.error.empty() ? "listed" : listing.error;
            listings[&line] = std::move(listing);
            return outcome;
        }
        MailboxRecord record = state_.mailbox(line.source, line.target);
        if (record.status == MailboxStatus::Running) {
            const std::string error = slot.error.empty() ? exit_text(status) : slot.error;
            state_.mark_failed(line.source, line.target, error);
            return "failed: " + error;
        }
        if (record.status == MailboxStatus::Done)
            return "done";
        return "failed" + (record.error.empty() ? std::string() : ": " + record.error);
    }

    const BatchJob &job_;
    BatchState &state_;
    BatchProgress &progress_;
    int jobs_;
    std::map<pid_t, Slot> running_;
    std::map<pid_t, std::chrono::steady_clock::time_point> started_;
};

JobSettings batch_settings(const CommandLine &line) {
    JobSettings settings;
    settings.plugin = find_plugin(line.plugin);
    settings.transport = line.transport;
    settings.limits = limits_from(line);
    settings.folders = line.folders;
    settings.kind_filter = kind_filter_from_name(line.kind).value_or(kAllKinds);
    return settings;
}

std::string now_utc() {
    const std::time_t now = std::time(nullptr);
    char text[32];
    std::tm parts{};
    gmtime_r(&now, &parts);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::string estimate_text(long long items, double rate_per_worker, bool measured, int workers,
                          double deadline) {
    const double rate = rate_per_worker * workers;
    const FinishEstimate estimate =
        estimate_finish(items, rate, static_cast<double>(std::time(nullptr)), deadline);
    char figures[96];
    std::snprintf(figures, sizeof figures, "%.1f items/s per worker, %s", rate_per_worker,
                  measured ? "measured by an earlier run" : "assumed (no run has measured it yet)");
    std::string text = "estimate: " + std::to_string(items) + " items in about " +
                       duration_text(estimate.seconds_left) + " with " + std::to_string(workers) +
                       " at once (" + figures + ")";
    if (deadline > 0)
        text += estimate.fits ? "; fits the deadline with " + duration_text(estimate.margin_seconds) + " to spare"
                              : "; misses the deadline by " + duration_text(-estimate.margin_seconds);
    return text;
}

// Pairs to run, with what is known of their sizes.
struct Queue {
    std::vector<const PlanLine *> lines;
    std::map<const PlanLine *, int> expected;
    long long known_total = 0, done_before = 0;
};

Queue pairs_to_run(const std::vector<PlanLine> &plan, const BatchState &state, bool dry_run) {
    Queue queue;
    for (const PlanLine &entry : plan) {
        const MailboxRecord record = state.mailbox(entry.source, entry.target);
        int items = std::max(record.listed_items, 0);
        for (const FolderRecord &folder : record.folders)
            items = std::max(items, folder.counts.source_total);
        queue.known_total += items;
        queue.expected[&entry] = items;
        if (record.status == MailboxStatus::Done && !dry_run)
            queue.done_before += items;
        else
            queue.lines.push_back(&entry);
    }
    return queue;
}

BatchJob make_job(const CommandLine &line, const std::vector<PlanLine> &plan,
                  const fs::path &state_dir, int lock_fd) {
    SystemSecretInput secrets;
    BatchJob job;
    job.state_dir = state_dir;
    job.settings = batch_settings(line);
    job.from = line.from;
    job.to = line.to;
    // One set of secrets serves every pair; the first pair names the sides
    // for a prompt.
    Connection first_from = line.from, first_to = line.to;
    first_from.user = plan.front().source;
    first_to.user = plan.front().target;
    job.from_credentials = resolve_credentials(first_from, secrets, "source");
    job.to_credentials = resolve_credentials(first_to, secrets, "target");
    job.dry_run = line.dry_run;
    job.verify = line.verify;
    job.lock_fd = lock_fd;
    return job;
}

void settle_dry_run(const CommandLine &line, const std::vector<PlanLine> &plan,
                    Scheduler &scheduler, BatchState &state, double deadline,
                    BatchOutcome &outcome) {
    long long items = 0;
    bool logon_failed = false, other_failed = false;
    for (const PlanLine &entry : plan) {
        DryRunPair pair{entry.source, entry.target, scheduler.listings[&entry]};
        items += pair.items();
        if (pair.listing.error.empty())
            state.record_listing(entry.source, entry.target, pair.items());
        else if (pair.listing.error.starts_with("logon failed"))
            logon_failed = true;
        else
            other_failed = true;
        outcome.listings.push_back(std::move(pair));
    }
    const double measured = state.measured_rate();
    const int workers = std::max(1, std::min(line.jobs, static_cast<int>(plan.size())));
    outcome.estimate = estimate_text(items, measured > 0 ? measured : kAssumedRatePerWorker,
                                     measured > 0, workers, deadline);
    outcome.exit_status = other_failed ? kExitItemsFailed : logon_failed ? kExitLogonFailed : kExitOk;
}

void settle_copy(const std::vector<PlanLine> &plan, const Scheduler &scheduler,
                 const BatchProgress &progress, long long done_before, BatchState &state,
                 BatchOutcome &outcome) {
    const long long copied = progress.items_done() - done_before;
    if (scheduler.worker_seconds > 0 && copied > 0)
        state.record_rate(static_cast<double>(copied) / scheduler.worker_seconds);
    bool all_well = true;
    for (const PlanLine &entry : plan) {
        outcome.mailboxes.push_back(state.mailbox(entry.source, entry.target));
        const MailboxRecord &record = outcome.mailboxes.back();
        all_well = all_well && record.status == MailboxStatus::Done && record.differences.empty();
    }
    outcome.estimate = "copied " + std::to_string(copied) + " items in " +
                       duration_text(outcome.seconds) + " with " + std::to_string(outcome.jobs) +
                       " at once";
    if (stop_requested()) {
        outcome.estimate += "; interrupted: run the same command again to continue";
        all_well = false;
    }
    outcome.exit_status = all_well ? kExitOk : kExitItemsFailed;
}

} // namespace

int run_batch(const CommandLine &line, std::ostream &out) {
    const auto plan = read_plan(line.plan);
    const double deadline = line.deadline.empty() ? 0 : unix_seconds(parse_deadline(line.deadline));
    const fs::path state_dir = fs::absolute(line.state.empty() ? default_state_dir() : fs::path(line.state));
    make_private_dir(state_dir, "state folder");
    BatchLock lock(state_dir / "batch.lock");
    remove_leftovers(state_dir);
    const BatchJob job = make_job(line, plan, state_dir, lock.fd());

    BatchState state(state_dir / kBatchStateName);
    state.add_plan(plan);
    const Queue queue = pairs_to_run(plan, state, line.dry_run);
    const int jobs = std::max(1, std::min(line.jobs, static_cast<int>(queue.lines.size())));
    BatchProgress progress(isatty(STDERR_FILENO) == 1, std::cerr, deadline);
    progress.set_known(queue.known_total, queue.done_before);
    const auto started = std::chrono::steady_clock::now();
    Scheduler scheduler(job, state, progress, jobs);
    scheduler.run(queue.lines, queue.expected);
    progress.clear();

    BatchOutcome outcome;
    outcome.plan_file = line.plan;
    outcome.dry_run = line.dry_run;
    outcome.verify = line.verify;
    outcome.jobs = jobs;
    outcome.created_utc = now_utc();
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (line.dry_run)
        settle_dry_run(line, plan, scheduler, state, deadline, outcome);
    else
        settle_copy(plan, scheduler, progress, queue.done_before, state, outcome);
    if (!line.report.empty())
        write_file_atomically(line.report, batch_html(outcome));
    if (line.json)
        out << batch_json(outcome);
    else
        print_batch_table(out, outcome);
    return outcome.exit_status;
}

} // namespace qvmigrate
