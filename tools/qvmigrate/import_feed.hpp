// import_feed.hpp - where the write side of an import takes its folders and
// items from: a finished archive (`import`), or the stage of a copy whose
// export is still filling it.  The write loop is the same for both.
#pragma once

#include <optional>
#include <string>

#include "jobs.hpp"
#include "record_archive.hpp"

namespace qvmigrate {

class ImportFeed {
  public:
    virtual ~ImportFeed() = default;

    // The mailbox the items were read from (the duplicate store's scope).
    virtual std::string mailbox() const = 0;
    // Reads the items, given the folder each belongs to.
    virtual const ArchiveReader &reader() const = 0;

    // The target took the logon; nothing was written yet.
    virtual void logged_on() {}
    // The next folder to write, once it is known; nullopt when none is left.
    virtual std::optional<ArchiveFolder> next_folder() = 0;
    // Whether item `sequence` (1-based, asked in order) of `folder` can be
    // read, once that is known: false when the folder holds no more.
    virtual bool has_item(const ArchiveFolder &folder, int sequence) = 0;
    // What the write loop may do with the files of the items it reads.
    virtual ArchiveReader::FileUse file_use() const { return ArchiveReader::FileUse::Writable; }
    // Why the feed ended before its items did ("" while it has not): the
    // folder being written stops with this as its note.
    virtual std::string stopped() const { return ""; }

    // The first `items` items of `folder` are settled as `so_far` counts
    // them: acknowledged by the target, or counted otherwise.
    virtual void settled(const ArchiveFolder & /*folder*/, int /*items*/,
                         const FolderCounts & /*so_far*/) {}
    // The folder's row, once it is written.
    virtual void folder_written(const FolderCounts & /*counts*/) {}
};

// Logs on to the target and writes every folder the feed gives, as
// run_import does (duplicates, bundles, acknowledgement, counting).
JobSummary run_import_feed(HostEnvironment &env, const JobSettings &settings,
                           const Connection &connection, const Credentials &credentials,
                           ImportFeed &feed);

} // namespace qvmigrate
