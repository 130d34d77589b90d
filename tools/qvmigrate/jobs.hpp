// jobs.hpp - the job drivers: folders, export, import, copy.  Each follows
// the connector's calling order (source: Logon, GetFolderNames, per folder
// InitRead / ConvertFolder / CloseRead, Logoff; target: Logon, per folder
// InitWrite / WriteMsg... / CloseWrite(0), Logoff) and returns what it did
// as a JobSummary.  Logon failures throw LogonFailed, option mistakes
// UsageError, a refused archive ArchiveError.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

#include "auth_options.hpp"
#include "folder_list.hpp"
#include "qv/record.h"
#include "record_archive.hpp"
#include "summary.hpp"

namespace qvmigrate {

class HostEnvironment;

struct JobLimits {
    int max_items = 0;       // per folder; 0 = no limit
    qv_filetime first = 0;   // first moment of the date range, 0 = open
    qv_filetime last = 0;    // last moment of the date range, 0 = open
    bool has_dates() const { return first != 0 || last != 0; }
};

// What every job shares.
struct JobSettings {
    std::filesystem::path plugin;
    TransportOptions transport;
    JobLimits limits;
    std::vector<std::string> folders; // display paths; empty = all
    int kind_filter = kAllKinds;
    std::vector<int> skipped_kinds; // folder types left out (--skip-kind)
    Progress *progress = nullptr;
    int bundle_items = 1; // items a write bundle holds (/D251 of the target's switches)
    // copy: the write side runs in a process of its own and writes items
    // while the read side still reads (--no-overlap: one after the other).
    bool overlap = true;
};

// The bundle size a switch string gives the connector ("/D251 N"; 1
// without it): after as many items the host closes the bundle and
// remembers its items once the target acknowledged them.
int bundle_items_from_switches(const std::string &switches);

// The write bundle qvmigrate asks for when the target's switches name none:
// one CreateItem per 50 messages writes about 13 times faster than one per
// message.  The connector's byte cap of a bundle still holds (an oversized
// message goes alone), and "/D251 1" in --to-switches keeps one message per
// request (a killed run then repeats at most the message in flight).
inline constexpr int kDefaultBundleItems = 50;

// `switches` with "/D251 kDefaultBundleItems" added when no "/D251" is there.
std::string with_default_bundle(const std::string &switches);


std::vector<FolderEntry> run_folders(HostEnvironment &env, const JobSettings &settings,
                                     const Connection &connection,
                                     const Credentials &credentials);

void print_folder_list(std::ostream &out, const std::vector<FolderEntry> &folders, bool json);

// What an overlapped copy hears from its export: the archive's progress,
// each folder's read row as it is done, and whether to go on.
class ExportObserver : public ArchiveListener {
  public:
    // Asked before each folder: false leaves the folders not yet read
    // unread, each counted failed with `why_not_reading()` as its note.
    virtual bool keep_reading() const { return true; }
    virtual std::string why_not_reading() const { return ""; }
    virtual void folder_read(const FolderCounts & /*counts*/) {}
};

// Reads the selected folders of the mailbox into a new archive in out_dir.
JobSummary run_export(HostEnvironment &env, const JobSettings &settings,
                      const Connection &connection, const Credentials &credentials,
                      const std::filesystem::path &out_dir, ExportObserver *observer = nullptr);

// Writes the selected folders of the archive into the mailbox.  The
// archive is read whole and checked before logon.
JobSummary run_import(HostEnvironment &env, const JobSettings &settings,
                      const Connection &connection, const Credentials &credentials,
                      const std::filesystem::path &in_dir);

// Export into a staging archive and import from it: overlapped (see
// copy_overlap.hpp) unless settings.overlap is false, then one after the
// other.  The stage is removed afterwards unless `keep_stage`.
JobSummary run_copy(HostEnvironment &env, const JobSettings &settings, const Connection &from,
                    const Credentials &from_credentials, const Connection &to,
                    const Credentials &to_credentials, const std::filesystem::path &stage,
                    bool keep_stage);

// Fails (UsageError) when `dir` exists and is not empty: checked before
// logon so that nothing is read for an archive that cannot be written.
void require_empty_output(const std::filesystem::path &dir);

} // namespace qvmigrate
