// batch_worker.cpp - the worker process of one mailbox pair.
#include "batch_worker.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "batch_state.hpp"
#include "batch_verify.hpp"
#include "connector_session.hpp"
#include "host_callbacks.hpp"
#include "host_environment.hpp"
#include "json_util.hpp"
#include "private_files.hpp"
#include "record_archive.hpp"

namespace qvmigrate {

namespace fs = std::filesystem;

namespace {

constexpr auto kReportInterval = std::chrono::milliseconds(250);
constexpr auto kSizeInterval = std::chrono::seconds(1);

// Whole lines into the pipe; a coordinator that is gone is not an error
// here (SIGTERM follows and ends the job properly).
void send_line(int fd, const std::string &line) {
    std::string text = line + "\n";
    const char *data = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t written = write(fd, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        left -= static_cast<size_t>(written);
    }
}

long long tree_bytes(const fs::path &dir) {
    long long bytes = 0;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(dir, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_regular_file(error))
            bytes += static_cast<long long>(it->file_size(error));
    }
    return bytes;
}

// The job's progress, as lines for the coordinator.
class PipeProgress : public Progress {
  public:
    PipeProgress(int fd, fs::path stage) : Progress(false, null_stream()), fd_(fd), stage_(std::move(stage)) {}

    void start(const std::string &label, int total) override {
        const bool reading = label.starts_with("read");
        state_.phase = reading ? "read" : "write";
        state_.folder = label.substr(label.find(' ') + 1);
        state_.folder.erase(0, state_.folder.find_first_not_of(' '));
        state_.folder_done = 0;
        state_.folder_total = total;
        if (reading)
            state_.items_total += total;
        send(true);
    }
    void update(int done) override {
        state_.folder_done = done;
        send(false);
    }
    void finish() override {
        if (state_.phase == "write")
            written_ += state_.folder_done;
        state_.folder_done = state_.folder_total;
        send(true);
    }

  private:
    static std::ostream &null_stream() {
        static std::ostream none(nullptr);
        return none;
    }
    void send(bool now) {
        const auto clock = std::chrono::steady_clock::now();
        if (!now && clock - sent_ < kReportInterval)
            return;
        sent_ = clock;
        if (clock - sized_ >= kSizeInterval || now) {
            sized_ = clock;
            if (state_.phase == "read")
                staged_ = tree_bytes(stage_);
        }
        const bool writing = state_.phase == "write";
        state_.items_done = written_ + (writing ? state_.folder_done : 0);
        state_.bytes = writing && state_.items_total > 0
                           ? staged_ * state_.items_done / state_.items_total
                           : (writing ? 0 : staged_);
        send_line(fd_, format_progress_line(state_));
    }

    int fd_;
    fs::path stage_;
    WorkerProgress state_;
    int written_ = 0;
    long long staged_ = 0;
    std::chrono::steady_clock::time_point sent_{}, sized_{};
};

Connection for_user(Connection connection, const std::string &user) {
    connection.user = user;
    return connection;
}

JobSettings settings_for(const BatchJob &job, const PlanLine &line) {
    JobSettings settings = job.settings;
    if (!line.folders.empty())
        settings.folders = line.folders;
    return settings;
}

fs::path pair_log(const BatchJob &job, const PlanLine &line) {
    const fs::path logs = job.state_dir / "logs";
    make_private_dir(logs, "log folder");
    return logs / (pair_file_name(line) + ".log");
}

// Dry run: both logons, the source's folders and counts, the target's
// folder tree; nothing is written to either mailbox.
int list_pair(const BatchJob &job, const PlanLine &line, int fd) {
    HostEnvironment env(job.state_dir.string(), pair_log(job, line).string());
    const JobSettings settings = settings_for(job, line);
    PairListing listing;
    int status = kExitOk;
    try {
        send_line(fd, format_progress_line({"list", "source folders", 0, 0, 0, 0, 0}));
        listing.folders = run_folders(env, settings, for_user(job.from, line.source),
                                      job.from_credentials);
        send_line(fd, format_progress_line({"list", "target logon", 0, 0, 0, 0, 0}));
        ConnectorSession target(env, settings.plugin, for_user(job.to, line.target),
                                job.to_credentials, Side::Target, logon_item_kind(kAllKinds),
                                settings.transport);
        listing.target_folders = static_cast<int>(target.folders().size());
    } catch (const LogonFailed &e) {
        listing.error = std::string("logon failed: ") + e.what();
        status = kExitLogonFailed;
    } catch (const std::exception &e) {
        listing.error = e.what();
        status = kExitItemsFailed;
    }
    send_line(fd, format_listing_line(listing));
    return status;
}

int copy_pair(const BatchJob &job, const PlanLine &line, int fd) {
    const auto started = std::chrono::steady_clock::now();
    HostEnvironment env(job.state_dir.string(), pair_log(job, line).string());
    const fs::path stage = job.state_dir / ("stage-" + std::to_string(getpid()));
    PipeProgress progress(fd, stage);
    JobSettings settings = settings_for(job, line);
    settings.progress = &progress;
    const Connection from = for_user(job.from, line.source), to = for_user(job.to, line.target);
    JobSummary summary;
    try {
        summary = run_copy(env, settings, from, job.from_credentials, to, job.to_credentials,
                           stage, job.verify);
    } catch (const LogonFailed &e) {
        summary.error = std::string("logon failed: ") + e.what();
        summary.exit_status = kExitLogonFailed;
    } catch (const std::exception &e) {
        summary.error = e.what();
        summary.exit_status = kExitItemsFailed;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    BatchState state(job.state_dir / kBatchStateName, false);
    state.record_run(line.source, line.target, summary, seconds);
    if (job.verify && summary.error.empty() && !stop_requested()) {
        send_line(fd, format_progress_line({"verify", "", 0, 0, 0, 0, 0}));
        std::vector<std::string> differences;
        try {
            differences = verify_copy(env, settings, to, job.to_credentials, stage,
                                      job.state_dir / ("verify-" + std::to_string(getpid())));
        } catch (const std::exception &e) {
            differences.push_back(std::string("the target could not be read back: ") + e.what());
        }
        state.record_differences(line.source, line.target, differences);
    }
    std::error_code error;
    fs::remove_all(stage, error);
    return summary.exit_status;
}

[[noreturn]] void worker_main(const BatchJob &job, const PlanLine &line, int fd, pid_t parent) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        _exit(kExitItemsFailed); // the coordinator died before the line above
    signal(SIGPIPE, SIG_IGN);
    install_termination_handler(kWorkerGraceSeconds);
    // Only the report pipe, the batch lock and the standard streams stay
    // open: the other workers' pipes and the coordinator's files are not
    // this process's business.
    for (int other = 3; other < 1024; ++other) {
        if (other != fd && other != job.lock_fd)
            close(other);
    }
    const int null_out = open("/dev/null", O_WRONLY);
    if (null_out >= 0) {
        dup2(null_out, STDOUT_FILENO); // stdout carries the coordinator's JSON
        close(null_out);
    }
    int status = kExitItemsFailed;
    try {
        status = job.dry_run ? list_pair(job, line, fd) : copy_pair(job, line, fd);
    } catch (const std::exception &e) {
        send_line(fd, std::string("error ") + e.what());
    }
    close(fd);
    _exit(status);
}

} // namespace

std::string format_progress_line(const WorkerProgress &p) {
    return "progress " + p.phase + " " + std::to_string(p.folder_done) + " " +
           std::to_string(p.folder_total) + " " + std::to_string(p.items_done) + " " +
           std::to_string(p.items_total) + " " + std::to_string(p.bytes) + " " + p.folder;
}

std::optional<WorkerProgress> parse_progress_line(const std::string &line) {
    if (!line.starts_with("progress "))
        return std::nullopt;
    WorkerProgress p;
    char phase[16] = {};
    int consumed = 0;
    if (std::sscanf(line.c_str() + 9, "%15s %d %d %d %d %lld%n", phase, &p.folder_done,
                    &p.folder_total, &p.items_done, &p.items_total, &p.bytes, &consumed) < 6)
        return std::nullopt;
    p.phase = phase;
    // One blank separates the name, which may itself start with blanks.
    std::size_t name_at = 9 + static_cast<std::size_t>(consumed);
    if (name_at < line.size() && line[name_at] == ' ')
        ++name_at;
    p.folder = line.substr(name_at);
    return p;
}

std::string format_listing_line(const PairListing &listing) {
    JsonPtr root(cJSON_CreateObject());
    cJSON *folders = cJSON_AddArrayToObject(root.get(), "folders");
    for (const FolderEntry &folder : listing.folders) {
        cJSON *item = cJSON_CreateObject();
        cJSON_AddStringToObject(item, "path", folder.display_path.c_str());
        cJSON_AddNumberToObject(item, "count", folder.count);
        cJSON_AddNumberToObject(item, "type", folder.folder_type);
        cJSON_AddItemToArray(folders, item);
    }
    cJSON_AddNumberToObject(root.get(), "target_folders", listing.target_folders);
    cJSON_AddStringToObject(root.get(), "error", listing.error.c_str());
    return "listing " + print_json_line(root.get());
}

std::optional<PairListing> parse_listing_line(const std::string &line) {
    if (!line.starts_with("listing "))
        return std::nullopt;
    const JsonParse parsed = parse_json(line.substr(8));
    if (!parsed.root)
        return std::nullopt;
    PairListing listing;
    const cJSON *folders = json_member(parsed.root.get(), "folders");
    const cJSON *folder = nullptr;
    cJSON_ArrayForEach(folder, folders) {
        FolderEntry entry;
        entry.display_path = json_string(folder, "path").value_or("");
        entry.count = static_cast<int>(json_integer(folder, "count", 0, INT32_MAX).value_or(0));
        entry.folder_type = static_cast<int>(json_integer(folder, "type", 0, 3).value_or(0));
        listing.folders.push_back(std::move(entry));
    }
    listing.target_folders =
        static_cast<int>(json_integer(parsed.root.get(), "target_folders", -1, INT32_MAX).value_or(-1));
    listing.error = json_string(parsed.root.get(), "error").value_or("");
    return listing;
}

WorkerProcess start_worker(const BatchJob &job, const PlanLine &line) {
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(errno));
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        throw std::runtime_error(std::string("cannot start a worker: ") + std::strerror(errno));
    }
    if (pid == 0) {
        close(fds[0]);
        worker_main(job, line, fds[1], parent);
    }
    close(fds[1]);
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    return {pid, fds[0]};
}

} // namespace qvmigrate
