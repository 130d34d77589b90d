// batch_worker.hpp - one mailbox pair of a batch in a process of its own:
// forked by the coordinator, with its own loaded connector, working folder
// and log (STATE/logs/SOURCE--TARGET.log).  It tells the coordinator how
// far it is through a pipe, one line at a time, and records its result in
// the batch state itself.
//
// A worker dies with its coordinator: PR_SET_PDEATHSIG sends it SIGTERM,
// which ends the job as Ctrl-C does (the items the target acknowledged are
// remembered first); SIGALRM ends it when that takes too long.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "auth_options.hpp"
#include "batch_plan.hpp"
#include "jobs.hpp"

namespace qvmigrate {

// What every worker of a batch shares.
struct BatchJob {
    std::filesystem::path state_dir;
    JobSettings settings;   // plug-in, transport, limits, --folder, --kind
    Connection from, to;    // server and authentication; the user comes from the plan
    Credentials from_credentials, to_credentials;
    bool dry_run = false;
    bool verify = false;
    // The batch lock: workers hold it too, so that a new run waits until
    // every writer of a killed one has ended.
    int lock_fd = -1;
};

// How far a worker is: the folder in hand and the mailbox as a whole.
struct WorkerProgress {
    std::string phase;      // "read", "write", "verify", "list"
    std::string folder;
    int folder_done = 0, folder_total = 0;
    int items_done = 0;     // written or otherwise settled on the write side
    int items_total = 0;    // listed by the folders read so far
    long long bytes = 0;    // staged so far (read), or the written share of it
};

std::string format_progress_line(const WorkerProgress &progress);
std::optional<WorkerProgress> parse_progress_line(const std::string &line);

// What a dry run found for one pair, as one JSON line ("listing {...}").
struct PairListing {
    std::vector<FolderEntry> folders; // selected source folders with their counts
    int target_folders = -1;          // folders the target showed; -1 not reached
    std::string error;                // empty when both sides answered
};
std::string format_listing_line(const PairListing &listing);
std::optional<PairListing> parse_listing_line(const std::string &line);

struct WorkerProcess {
    pid_t pid = -1;
    int fd = -1; // read end of the worker's report pipe
};

// Forks a worker for `line`.  Throws std::runtime_error when it cannot.
WorkerProcess start_worker(const BatchJob &job, const PlanLine &line);

// Exit status of a worker that ran to its end (what `copy` would return).
inline constexpr unsigned kWorkerGraceSeconds = 60;

} // namespace qvmigrate
