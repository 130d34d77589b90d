// job_copy.cpp - the folder listing and the copy job (export into a
// staging archive and import from it, overlapped or one after the other).
#include <iomanip>
#include <ostream>
#include <system_error>

#include "connector_session.hpp"
#include "copy_overlap.hpp"
#include "host_environment.hpp"
#include "json_util.hpp"
#include "jobs.hpp"
#include "record_archive.hpp"

namespace qvmigrate {

namespace fs = std::filesystem;

namespace {

// One row per folder of the copy: read side and write side together.
FolderCounts merge(const FolderCounts &read, const FolderCounts *written) {
    FolderCounts merged = read;
    merged.migrated = written != nullptr ? written->migrated : 0;
    if (written == nullptr)
        return merged;
    merged.duplicates += written->duplicates;
    merged.outside_dates += written->outside_dates;
    merged.skipped += written->skipped;
    merged.failed += written->failed;
    merged.seconds += written->seconds;
    merged.notes.insert(merged.notes.end(), written->notes.begin(), written->notes.end());
    return merged;
}

const FolderCounts *find_folder(const JobSummary &summary, const std::string &path) {
    for (const FolderCounts &folder : summary.folders) {
        if (folder.path == path)
            return &folder;
    }
    return nullptr;
}

// Removes the stage when it goes, unless it is to be kept.
class StageGuard {
  public:
    StageGuard(fs::path dir, bool keep) : dir_(std::move(dir)), keep_(keep) {}
    ~StageGuard() {
        std::error_code error;
        if (!keep_)
            fs::remove_all(dir_, error);
    }
    StageGuard(const StageGuard &) = delete;
    StageGuard &operator=(const StageGuard &) = delete;

  private:
    fs::path dir_;
    bool keep_;
};

} // namespace

std::vector<FolderEntry> run_folders(HostEnvironment &env, const JobSettings &settings,
                                     const Connection &connection,
                                     const Credentials &credentials) {
    ConnectorSession session(env, settings.plugin, connection, credentials, Side::Source,
                             logon_item_kind(kAllKinds), settings.transport);
    std::vector<std::string> unmatched;
    auto folders = select_folders(session.folders(), settings.folders, settings.kind_filter,
                                  unmatched);
    if (!unmatched.empty())
        throw UsageError("--folder " + unmatched.front() + " matches no folder of " +
                         connection.user);
    return folders;
}

void print_folder_list(std::ostream &out, const std::vector<FolderEntry> &folders, bool json) {
    if (json) {
        JsonPtr root(cJSON_CreateArray());
        for (const FolderEntry &folder : folders) {
            cJSON *item = cJSON_CreateObject();
            cJSON_AddStringToObject(item, "path", folder.display_path.c_str());
            cJSON_AddNumberToObject(item, "count", folder.count);
            cJSON_AddStringToObject(item, "kind", folder_kind_name(folder.folder_type).c_str());
            cJSON_AddItemToArray(root.get(), item);
        }
        out << print_json(root.get());
        return;
    }
    out << std::left << std::setw(50) << "folder" << std::right << std::setw(8) << "items"
        << "  kind\n";
    for (const FolderEntry &folder : folders) {
        out << std::left << std::setw(50) << folder.display_path << std::right << std::setw(8)
            << folder.count << "  " << folder_kind_name(folder.folder_type) << "\n";
    }
}

JobSummary run_copy(HostEnvironment &env, const JobSettings &settings, const Connection &from,
                    const Credentials &from_credentials, const Connection &to,
                    const Credentials &to_credentials, const fs::path &stage, bool keep_stage) {
    require_empty_output(stage);
    StageGuard guard(stage, keep_stage);
    // The stage holds exactly what was selected: import all of it.
    JobSettings import_settings = settings;
    import_settings.folders.clear();
    import_settings.limits = {};

    CopyHalves halves;
    if (settings.overlap) {
        halves = run_overlapped_copy(
            env, import_settings, from.user, to, to_credentials, stage, keep_stage,
            [&](ExportObserver &observer) {
                return run_export(env, settings, from, from_credentials, stage, &observer);
            });
    } else {
        halves.read = run_export(env, settings, from, from_credentials, stage);
        if (halves.read.error.empty())
            halves.written = run_import(env, import_settings, to, to_credentials, stage);
    }
    const JobSummary &read = halves.read, &written = halves.written;

    JobSummary summary;
    summary.command = "copy";
    summary.source = from.user;
    summary.target = to.user;
    summary.log_file = env.log_file().string();
    summary.archive = keep_stage ? fs::absolute(stage).string() : "";
    summary.error = read.error.empty() ? written.error : read.error;
    for (const FolderCounts &folder : read.folders)
        summary.folders.push_back(merge(folder, find_folder(written, folder.path)));
    if (read.exit_status != kExitOk || written.exit_status != kExitOk)
        summary.exit_status = kExitItemsFailed;
    summary.settle_exit_status();
    return summary;
}

} // namespace qvmigrate
