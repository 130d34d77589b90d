// copy_write_side.cpp - the write side's process and its feed of staged
// items.
#include "copy_write_side.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <deque>
#include <map>
#include <set>

#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "connector_session.hpp"
#include "copy_channel.hpp"
#include "host_callbacks.hpp"
#include "host_environment.hpp"
#include "import_feed.hpp"
#include "json_util.hpp"

namespace qvmigrate {

namespace fs = std::filesystem;

namespace {

ArchiveManifest manifest_of(const std::string &mailbox) {
    ArchiveManifest manifest;
    manifest.mailbox = mailbox;
    return manifest;
}

// The staged items as the read side announces them.  Messages are taken
// in whatever order they are read, so that a look for "stop" between items
// loses nothing that came with it.
class StageFeed : public ImportFeed {
  public:
    // `batch`: the items a write bundle holds.
    StageFeed(LineChannel &channel, const fs::path &stage, bool stage_kept, std::string mailbox,
              int batch)
        : channel_(channel), mailbox_(mailbox), reader_(stage, manifest_of(mailbox)),
          batch_(std::max(1, batch)),
          use_(stage_kept ? ArchiveReader::FileUse::Writable : ArchiveReader::FileUse::Taken) {}

    std::string mailbox() const override { return mailbox_; }
    const ArchiveReader &reader() const override { return reader_; }
    // A stage that goes when the copy ends is not read again: its items
    // move into the working folder rather than being copied there and
    // deleted with the stage.
    ArchiveReader::FileUse file_use() const override { return use_; }
    void logged_on() override { channel_.send("ready"); }

    std::optional<ArchiveFolder> next_folder() override {
        while (begun_.empty() && !read_ended_ && stopped().empty())
            take(-1);
        if (begun_.empty() || !stopped().empty())
            return std::nullopt;
        ArchiveFolder folder = begun_.front();
        begun_.pop_front();
        return folder;
    }

    bool has_item(const ArchiveFolder &folder, int sequence) override {
        while (take(0)) {
        }
        int &announced = announced_[folder.number];
        if (announced >= sequence)
            return stopped().empty();
        // Not staged yet: waiting for a bundle's worth (or the folder's end)
        // wakes this process once a bundle rather than once an item, and
        // costs no time, as a bundle goes out only when it is full.
        const int wanted = sequence + batch_ - 1;
        while (stopped().empty()) {
            if (announced >= wanted)
                return true;
            if (ended_.contains(folder.number) || read_ended_)
                return announced >= sequence;
            take(-1);
        }
        return false;
    }

    std::string stopped() const override {
        return stop_requested() && stop_.empty() ? "interrupted" : stop_;
    }

    void settled(const ArchiveFolder &folder, int items, const FolderCounts &so_far) override {
        channel_.send(settled_line({folder.number, items, so_far}));
    }
    void folder_written(const FolderCounts &counts) override {
        channel_.send(folder_row_line(counts));
    }

  private:
    // Handles one message, waiting up to `timeout_ms` for it; false when
    // none came.
    bool take(int timeout_ms) {
        const std::optional<std::string> line = channel_.receive(timeout_ms);
        if (!line) {
            if (channel_.closed() && !read_ended_) {
                read_ended_ = true;
                stop_ = "the read side ended unexpectedly";
            }
            return false;
        }
        const ChannelMessage message = split_message(*line);
        int folder = 0, count = 0;
        const bool numbers = std::sscanf(message.rest.c_str(), "%d %d", &folder, &count) == 2;
        if (message.keyword == "begin") {
            const auto begun = parse_folder_begin(message.rest);
            if (!begun)
                throw std::runtime_error("the read side sent a folder it did not name: " + *line);
            begun_.push_back(*begun);
        } else if (message.keyword == "item" && numbers) {
            announced_[folder] = count;
        } else if (message.keyword == "end" && numbers) {
            ended_.insert(folder);
        } else if (message.keyword == "done" || message.keyword == "failed") {
            read_ended_ = true;
        } else if (message.keyword == "stop") {
            stop_ = "interrupted";
        } else {
            throw std::runtime_error("the read side sent what the write side does not know: " + *line);
        }
        return true;
    }

    LineChannel &channel_;
    std::string mailbox_;
    ArchiveReader reader_;
    int batch_;
    ArchiveReader::FileUse use_;
    std::deque<ArchiveFolder> begun_;
    std::map<int, int> announced_;
    std::set<int> ended_;
    bool read_ended_ = false;
    std::string stop_;
};

int serve(const WriteSideJob &job, LineChannel &channel) {
    try {
        HostEnvironment env(job.state_dir.string(), job.log_file.string());
        JobSettings settings = job.settings;
        settings.progress = nullptr; // the read side shows the write side's progress
        const int bundle =
            bundle_items_from_switches(with_default_bundle(job.to.auth.extra_switches));
        StageFeed feed(channel, job.stage, job.stage_kept, job.source_mailbox, bundle);
        const JobSummary written =
            run_import_feed(env, settings, job.to, job.to_credentials, feed);
        JsonPtr end(cJSON_CreateObject());
        cJSON_AddStringToObject(end.get(), "error", written.error.c_str());
        channel.send("summary " + print_json_line(end.get()));
        return written.exit_status;
    } catch (const std::exception &e) {
        channel.send("error " + error_message_line(e));
    }
    return kExitItemsFailed;
}

[[noreturn]] void write_side_main(const WriteSideJob &job, int fd, pid_t parent) {
    // The read side's end: interrupted like a Ctrl-C, the bundle in hand
    // is acknowledged and remembered before the process ends.
    prctl(PR_SET_PDEATHSIG, SIGINT);
    if (getppid() != parent)
        _exit(kExitItemsFailed);
    int status = kExitItemsFailed;
    {
        LineChannel channel(fd);
        status = serve(job, channel);
    }
    // Not exit(): the read side's buffers and objects are its own.
    _exit(status);
}

} // namespace

std::string error_message_line(const std::exception &e) {
    const char *kind = "other";
    if (dynamic_cast<const LogonFailed *>(&e) != nullptr)
        kind = "logon";
    else if (dynamic_cast<const UsageError *>(&e) != nullptr)
        kind = "usage";
    else if (dynamic_cast<const ArchiveError *>(&e) != nullptr)
        kind = "archive";
    return std::string(kind) + " " + e.what();
}

std::exception_ptr write_side_exception(const std::string &rest) {
    const ChannelMessage error = split_message(rest);
    if (error.keyword == "logon")
        return std::make_exception_ptr(LogonFailed(error.rest, 1));
    if (error.keyword == "usage")
        return std::make_exception_ptr(UsageError(error.rest));
    if (error.keyword == "archive")
        return std::make_exception_ptr(ArchiveError(error.rest));
    return std::make_exception_ptr(std::runtime_error(error.rest));
}

WriteSideProcess start_write_side(const WriteSideJob &job) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error(std::string("cannot make a socket pair: ") + std::strerror(errno));
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        throw std::runtime_error(std::string("cannot start the write side: ") + std::strerror(errno));
    }
    if (pid == 0) {
        close(fds[0]);
        write_side_main(job, fds[1], parent);
    }
    close(fds[1]);
    return {pid, fds[0]};
}

} // namespace qvmigrate
