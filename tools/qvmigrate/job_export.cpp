// job_export.cpp - the source job: every record the connector hands to
// OutputMsg goes into a record archive.
#include <algorithm>
#include <memory>
#include <system_error>

#include <malloc.h>

#include "connector_session.hpp"
#include "host_callbacks.hpp"
#include "host_environment.hpp"
#include "jobs.hpp"
#include "qv/qvcom.h"
#include "record_archive.hpp"

namespace qvmigrate {

namespace fs = std::filesystem;

namespace {

// The host's run number for the record it lends the connector; part files
// of the item being read are named by it.
constexpr int kReadMsgNumber = 1;

// Free heap kept at its top before it goes back to the system.  Reading an
// item allocates and frees some hundred KiB (the answer, the decoded
// message, input and part buffers); with the C library's default of
// 128 KiB the heap shrinks after almost every item and grows again for the
// next, and every page it takes again is a page fault: six per item, some
// three per cent of the reader's CPU.
constexpr int kHeapTrimThreshold = 4 << 20;

struct RecordDeleter {
    void operator()(qv_message *msg) const {
        com_ResetObject(msg);
        delete msg;
    }
};
using HostRecord = std::unique_ptr<qv_message, RecordDeleter>;

void set_up_read_filters(const JobLimits &limits) {
    qvcom_reset_filters();
    // An archive is a full copy of what was selected: no item is left out
    // for having been read before.
    qvcom_set_duplicate_store("", nullptr);
    if (limits.has_dates())
        qvcom_set_date_range(limits.first, limits.last);
}

FolderCounts read_folder(const HostEnvironment &env, const ConnectorSession &session,
                         const JobSettings &settings, const FolderEntry &folder,
                         ArchiveWriter &writer, qv_message &record) {
    FolderCounts counts;
    counts.path = folder.display_path;
    counts.kind = folder_kind_name(folder.folder_type);
    counts.source_total = folder.count;
    writer.begin_folder(folder.display_path, folder.internal_path, folder.folder_type,
                        folder.count);

    ReadContext context;
    context.writer = &writer;
    context.progress = settings.progress;
    if (settings.progress != nullptr)
        settings.progress->start("read  " + folder.display_path, folder.count);
    const auto started = std::chrono::steady_clock::now();
    int out_count = 0, out_size = 0;
    std::string work = env.work_prefix();
    {
        ActiveRead active(context);
        qvcom_set_loss_handler(on_read_loss, &context);
        const PluginExports &x = session.exports();
        x.InitRead(&record, nullptr, nullptr, nullptr, nullptr, settings.limits.max_items);
        x.ConvertFolder(&record, on_output, folder.index, &context, nullptr, nullptr, nullptr,
                        nullptr, nullptr, nullptr, work.data(), &out_count, &out_size, on_status);
        x.CloseRead(nullptr);
        qvcom_set_loss_handler(nullptr, nullptr);
    }
    com_ResetObject(&record);
    if (settings.progress != nullptr)
        settings.progress->finish();
    counts.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    const ItemTally &tally = context.tally;
    counts.migrated = tally.converted;
    counts.duplicates = tally.duplicates;
    counts.outside_dates = tally.outside_dates;
    counts.skipped = tally.skipped;
    counts.failed = tally.failed;
    if (!context.last_error.empty())
        counts.notes.push_back("could not archive an item: " + context.last_error);
    // Items the connector never reported were not read: a failed listing,
    // or items it dropped.  A limit or an interruption explains the gap.
    const int unreported = folder.count - tally.reported();
    const bool limited = settings.limits.max_items > 0 && tally.converted >= settings.limits.max_items;
    if (unreported > 0 && limited) {
        counts.notes.push_back("stopped after --max-items " + std::to_string(settings.limits.max_items));
    } else if (unreported > 0 && stop_requested()) {
        counts.notes.push_back("interrupted; " + std::to_string(unreported) + " items not read");
    } else if (unreported > 0) {
        counts.failed += unreported;
        counts.notes.push_back(std::to_string(unreported) +
                               " items were listed but never reported (see the log)");
    }
    return counts;
}

// A folder left unread: every item it listed counts failed.
FolderCounts unread_folder(const FolderEntry &folder, const std::string &why) {
    FolderCounts counts;
    counts.path = folder.display_path;
    counts.kind = folder_kind_name(folder.folder_type);
    counts.source_total = folder.count;
    counts.failed = folder.count;
    counts.notes.push_back("not read: " + why);
    return counts;
}

} // namespace

void require_empty_output(const fs::path &dir) {
    std::error_code error;
    if (fs::exists(dir, error) && (!fs::is_directory(dir, error) || !fs::is_empty(dir, error)))
        throw UsageError(dir.string() + " exists and is not an empty folder; give a new one");
}

JobSummary run_export(HostEnvironment &env, const JobSettings &settings,
                      const Connection &connection, const Credentials &credentials,
                      const fs::path &out_dir, ExportObserver *observer) {
    JobSummary summary;
    summary.command = "export";
    summary.source = connection.user;
    summary.log_file = env.log_file().string();
    require_empty_output(out_dir);
    set_up_read_filters(settings.limits);
    ::mallopt(M_TRIM_THRESHOLD, kHeapTrimThreshold);

    ConnectorSession session(env, settings.plugin, connection, credentials, Side::Source,
                             logon_item_kind(settings.kind_filter), settings.transport);
    std::vector<std::string> unmatched;
    auto chosen = select_folders(session.folders(), settings.folders, settings.kind_filter,
                                 unmatched);
    if (!unmatched.empty())
        throw UsageError("--folder " + unmatched.front() + " matches no folder of " +
                         connection.user + " (qvmigrate folders lists them)");
    std::erase_if(chosen, [&](const FolderEntry &folder) {
        return std::find(settings.skipped_kinds.begin(), settings.skipped_kinds.end(),
                         folder.folder_type) != settings.skipped_kinds.end();
    });

    ArchiveWriter writer(out_dir, connection.user);
    writer.set_listener(observer);
    summary.archive = fs::absolute(out_dir).string();
    HostRecord record(new qv_message{});
    record->msg_number = kReadMsgNumber;
    for (const FolderEntry &folder : chosen) {
        if (stop_requested())
            break;
        if (observer != nullptr && !observer->keep_reading())
            summary.folders.push_back(unread_folder(folder, observer->why_not_reading()));
        else
            summary.folders.push_back(read_folder(env, session, settings, folder, writer, *record));
        if (observer != nullptr)
            observer->folder_read(summary.folders.back());
    }
    writer.finish();
    if (stop_requested())
        summary.error = "interrupted";
    summary.settle_exit_status();
    return summary;
}

} // namespace qvmigrate
