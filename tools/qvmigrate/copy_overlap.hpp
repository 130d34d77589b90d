// copy_overlap.hpp - a copy whose write side writes items while its read
// side still reads them.
//
// The read side (this process) runs the export into the stage and tells
// the write side (copy_write_side.hpp) of each folder and item as soon as
// the stage holds it whole; the write side writes them in bundles as they
// come, and reports what the target acknowledged, and each folder's row.
// The stage is a whole archive at the end as before (manifest last).
//
// Every staged item arrives or is counted failed: when the write side ends
// before reporting a folder, the items it had not settled (acknowledged, or
// counted otherwise) count failed with the reason, and the export reads no
// further folder.  When the export fails part-way, what it staged is still
// written: each item there is whole and checked, and the summary shows it
// beside the export's error.  A failure before anything was staged (a
// logon, say) is thrown as it is when the sides run one after the other.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "auth_options.hpp"
#include "jobs.hpp"

namespace qvmigrate {

// The read side's part: runs the export with `observer` watching it.
using ExportStep = std::function<JobSummary(ExportObserver &observer)>;

// What each side did, row by row, for the copy's summary to merge.
struct CopyHalves {
    JobSummary read;    // a row for every folder the export began or left unread
    JobSummary written; // a row for every folder the write side was given
};

// `stage_kept`: the stage outlives the copy (whole, as an archive);
// otherwise the write side takes each item out of it.
CopyHalves run_overlapped_copy(HostEnvironment &env, const JobSettings &import_settings,
                               const std::string &source_mailbox, const Connection &to,
                               const Credentials &to_credentials,
                               const std::filesystem::path &stage, bool stage_kept,
                               const ExportStep &export_step);

} // namespace qvmigrate
