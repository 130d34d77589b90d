// copy_overlap.cpp - the read side of an overlapped copy: announcing what
// the stage holds, hearing what the write side settled, and the rows of
// both halves.
#include "copy_overlap.hpp"

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include <sys/wait.h>

#include "copy_channel.hpp"
#include "copy_write_side.hpp"
#include "host_callbacks.hpp"
#include "host_environment.hpp"
#include "json_util.hpp"

namespace qvmigrate {

namespace fs = std::filesystem;

namespace {

// How long a wait on the write side lasts before stop requests and the
// progress line are looked at again.
constexpr int kWaitSliceMs = 200;

struct StagedFolder {
    ArchiveFolder folder; // items: staged so far
    std::optional<SettledCounts> settled;
    std::optional<FolderCounts> row; // the write side's
};

std::string exit_text(int status) {
    if (WIFSIGNALED(status))
        return std::string("it was ended by signal ") + strsignal(WTERMSIG(status));
    return "it ended with status " + std::to_string(WEXITSTATUS(status));
}

int settled_items(const FolderCounts &row) {
    return row.migrated + row.duplicates + row.outside_dates + row.skipped + row.failed;
}

// A folder the read side began but could not finish.
FolderCounts partly_read_row(const ArchiveFolder &folder) {
    FolderCounts row;
    row.path = folder.path;
    row.kind = folder_kind_name(folder.folder_type);
    row.source_total = folder.source_total;
    row.migrated = folder.items;
    row.notes.push_back("the read side ended before this folder was finished");
    return row;
}

class WriteSideLink : public ExportObserver {
  public:
    explicit WriteSideLink(WriteSideProcess process)
        : pid_(process.pid), channel_(std::make_unique<LineChannel>(process.fd)) {}

    // Whatever happened, the write side is seen to its end: the channel
    // closing ends it at its next item.
    ~WriteSideLink() override { reap(); }
    WriteSideLink(const WriteSideLink &) = delete;
    WriteSideLink &operator=(const WriteSideLink &) = delete;

    void folder_begun(const ArchiveFolder &folder) override {
        if (!ready_)
            await_ready();
        folders_.push_back({folder, std::nullopt, std::nullopt});
        send(folder_begin_line(folder));
    }
    void item_added(const ArchiveFolder &folder, int sequence) noexcept override {
        if (folders_.empty() || folders_.back().folder.number != folder.number)
            return;
        folders_.back().folder.items = sequence;
        send("item " + std::to_string(folder.number) + " " + std::to_string(sequence));
        forward_stop();
        collect();
    }
    void folder_ended(const ArchiveFolder &folder) noexcept override {
        send("end " + std::to_string(folder.number) + " " + std::to_string(folder.items));
    }
    void finished() noexcept override {}

    bool keep_reading() const override { return !lost_; }
    std::string why_not_reading() const override {
        return failure_.empty() ? "the write side ended unexpectedly" : failure_;
    }
    void folder_read(const FolderCounts &counts) override { read_rows_.push_back(counts); }

    bool anything_staged() const { return !folders_.empty(); }

    // Tells the write side that nothing more comes, and why.
    void export_ended(const std::string &failure) {
        forward_stop();
        send(failure.empty() ? std::string("done") : "failed " + failure);
    }

    // Waits for the write side to end, showing its progress folder by folder.
    void wait(Progress *progress) {
        while (!channel_->closed()) {
            forward_stop();
            relay(progress);
            if (const auto line = channel_->receive(kWaitSliceMs))
                handle(*line);
        }
        relay(progress);
        if (relay_open_ && progress != nullptr)
            progress->finish();
        reap();
    }

    // A write side that never logged on: its failure, as the sides one
    // after the other throw it.
    void throw_if_never_started() const {
        if (ready_)
            return;
        if (early_error_)
            std::rethrow_exception(early_error_);
        throw std::runtime_error("the write side ended before it logged on to the target (" +
                                 end_text_ + "; see the log)");
    }

    CopyHalves halves(const JobSummary &read_summary, const std::string &export_error) const;

  private:
    void send(const std::string &line) noexcept {
        try {
            if (!lost_ && !channel_->send(line))
                lost_ = true;
        } catch (...) {
            lost_ = true;
        }
    }

    void forward_stop() noexcept {
        if (stop_requested() && !stop_sent_) {
            send("stop");
            stop_sent_ = true;
        }
    }

    // What has arrived, without waiting.
    void collect() noexcept {
        try {
            while (const auto line = channel_->receive(0))
                handle(*line);
        } catch (...) {
            // A row that cannot be kept stays unreported: counted failed.
        }
        if (channel_->closed())
            lost_ = true;
    }

    void await_ready() {
        while (!ready_ && !early_error_ && !channel_->closed()) {
            if (const auto line = channel_->receive(kWaitSliceMs))
                handle(*line);
        }
        if (early_error_)
            std::rethrow_exception(early_error_);
        if (!ready_)
            throw std::runtime_error("the write side ended before it logged on to the target "
                                     "(see the log)");
    }

    void handle(const std::string &line);
    void relay(Progress *progress);

    void reap() noexcept {
        if (reaped_)
            return;
        channel_.reset();
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
        end_text_ = exit_text(status);
        lost_ = true;
        if (ready_ && !summary_seen_ && failure_.empty())
            failure_ = "the write side ended unexpectedly (" + end_text_ + ")";
    }

    StagedFolder *staged(int number) {
        for (StagedFolder &folder : folders_) {
            if (folder.folder.number == number)
                return &folder;
        }
        return nullptr;
    }

    pid_t pid_;
    std::unique_ptr<LineChannel> channel_;
    std::vector<StagedFolder> folders_;
    std::vector<FolderCounts> read_rows_;
    size_t rows_received_ = 0, relayed_ = 0;
    bool relay_open_ = false;
    bool ready_ = false, summary_seen_ = false, stop_sent_ = false, reaped_ = false;
    bool lost_ = false; // the write side takes no more
    std::exception_ptr early_error_;
    std::string failure_, write_error_, end_text_;
};

void WriteSideLink::handle(const std::string &line) {
    const ChannelMessage message = split_message(line);
    if (message.keyword == "ready") {
        ready_ = true;
    } else if (message.keyword == "error") {
        if (!ready_)
            early_error_ = write_side_exception(message.rest);
        else
            failure_ = "the write side failed: " + split_message(message.rest).rest;
        lost_ = true;
    } else if (message.keyword == "settled") {
        const auto settled = parse_settled(message.rest);
        if (StagedFolder *folder = settled ? staged(settled->folder) : nullptr)
            folder->settled = settled;
    } else if (message.keyword == "folder") {
        // Rows come in the order the folders were given.
        auto row = parse_folder_row(message.rest);
        if (row && rows_received_ < folders_.size())
            folders_[rows_received_++].row = std::move(row);
    } else if (message.keyword == "summary") {
        summary_seen_ = true;
        const JsonParse end = parse_json(message.rest);
        write_error_ = json_string(end.root.get(), "error").value_or("");
    }
}

// The write side's folders on the progress line, in order, once the read
// side's lines are done.
void WriteSideLink::relay(Progress *progress) {
    while (progress != nullptr && relayed_ < folders_.size()) {
        const StagedFolder &folder = folders_[relayed_];
        if (!relay_open_) {
            progress->start("write " + folder.folder.path, folder.folder.items);
            relay_open_ = true;
        }
        if (!folder.row) {
            progress->update(folder.settled ? folder.settled->items : 0);
            return;
        }
        progress->update(settled_items(*folder.row));
        progress->finish();
        relay_open_ = false;
        ++relayed_;
    }
}

CopyHalves WriteSideLink::halves(const JobSummary &read_summary,
                                 const std::string &export_error) const {
    CopyHalves halves;
    halves.read = read_summary;
    if (!export_error.empty()) {
        halves.read.command = "export";
        halves.read.folders = read_rows_;
        halves.read.error = export_error;
        halves.read.exit_status = kExitItemsFailed;
    }
    halves.written.command = "import";
    halves.written.error = failure_.empty() ? write_error_ : failure_;
    if (!failure_.empty())
        halves.written.exit_status = kExitItemsFailed;
    const bool interrupted = stop_sent_ && failure_.empty();
    for (const StagedFolder &folder : folders_) {
        bool read = false;
        for (const FolderCounts &row : halves.read.folders)
            read = read || row.path == folder.folder.path;
        if (!read)
            halves.read.folders.push_back(partly_read_row(folder.folder));
        if (folder.row) {
            FolderCounts row = *folder.row;
            const int unwritten = folder.folder.items - settled_items(row);
            if (unwritten > 0)
                row.notes.push_back(std::to_string(unwritten) +
                                    " items read were not written before the copy stopped");
            halves.written.folders.push_back(std::move(row));
            continue;
        }
        FolderCounts row;
        if (folder.settled)
            row = folder.settled->counts;
        row.path = folder.folder.path;
        row.kind = folder_kind_name(folder.folder.folder_type);
        row.source_total = folder.folder.source_total;
        if (interrupted) {
            // Left for the next run, as an interrupted import leaves its
            // later folders; the row says so rather than look finished.
            row.notes.push_back("interrupted before this folder was written");
            halves.written.folders.push_back(std::move(row));
            continue;
        }
        const int unsettled = folder.folder.items - (folder.settled ? folder.settled->items : 0);
        row.failed += unsettled;
        row.notes.push_back(std::to_string(unsettled) + " items were not written: " +
                            (failure_.empty() ? "the write side did not report them" : failure_));
        halves.written.folders.push_back(std::move(row));
    }
    return halves;
}

} // namespace

CopyHalves run_overlapped_copy(HostEnvironment &env, const JobSettings &import_settings,
                               const std::string &source_mailbox, const Connection &to,
                               const Credentials &to_credentials, const fs::path &stage,
                               bool stage_kept, const ExportStep &export_step) {
    const WriteSideJob job{import_settings,     to,         to_credentials,
                           source_mailbox,      fs::absolute(stage), stage_kept,
                           env.state_dir(),     env.log_file()};
    WriteSideLink link(start_write_side(job));
    JobSummary read;
    std::exception_ptr export_failure;
    std::string export_error;
    try {
        read = export_step(link);
    } catch (const ArchiveError &e) {
        export_failure = std::current_exception();
        export_error = std::string("archive refused: ") + e.what();
    } catch (const std::exception &e) {
        export_failure = std::current_exception();
        export_error = e.what();
    }
    link.export_ended(export_error);
    link.wait(import_settings.progress);
    if (export_failure && !link.anything_staged())
        std::rethrow_exception(export_failure);
    link.throw_if_never_started();
    return link.halves(read, export_error);
}

} // namespace qvmigrate
