// record_archive.hpp - the record archive: a versioned directory of message
// records and their files that `export` writes and `import` reads.
//
//   DIR/manifest.json          format, version, mailbox, folders
//   DIR/0001/000001.json       item 1 of folder 1: the record's own fields
//   DIR/0001/000001.p000       its part 0 (part file, byte for byte)
//   DIR/0001/000001.p003.p000  part 0 of the message embedded as part 3
//
// The manifest is written last, so an export that did not finish leaves no
// manifest and is refused.  docs/qvmigrate.md describes the format.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "qv/record.h"

namespace qvmigrate {

inline constexpr const char *kArchiveFormatName = "qvmigrate record archive";
inline constexpr int kArchiveFormatVersion = 1;
// More items than this in one folder means a damaged manifest.
inline constexpr int kMaxArchiveItemsPerFolder = 10'000'000;

struct ArchiveFolder {
    int number = 0;            // 1-based; names the folder's directory "0001"
    std::string path;          // display path, "/" between levels
    std::string internal_path; // "^" between levels, as the connector gave it
    int folder_type = 0;       // 0 mail, 1 contacts, 2 calendar, 3 tasks
    int source_total = 0;      // items the source listed in the folder
    int items = 0;             // items in the archive
};

struct ArchiveManifest {
    int format_version = kArchiveFormatVersion;
    std::string mailbox;
    std::string created_utc;
    std::vector<ArchiveFolder> folders;
};

// Every refusal names the file it is about, relative to the archive.
class ArchiveError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// "mail", "contacts", "calendar", "tasks"; "" for other types.
std::string folder_kind_name(int folder_type);
// -1 for an unknown name.
int folder_type_from_name(const std::string &name);

// Hears what the archive holds as soon as it holds it, so that a copy can
// write items while its export is still reading.
class ArchiveListener {
  public:
    virtual ~ArchiveListener() = default;
    // The folder's directory exists; throwing keeps the folder out of the
    // archive and ends the export.
    virtual void folder_begun(const ArchiveFolder &folder) = 0;
    // Item `sequence` of the folder is complete on disk.
    virtual void item_added(const ArchiveFolder &folder, int sequence) noexcept = 0;
    // No more items come into the folder.
    virtual void folder_ended(const ArchiveFolder &folder) noexcept = 0;
    // The manifest is written.
    virtual void finished() noexcept = 0;
};

class ArchiveWriter {
  public:
    // Creates `dir`, which must not exist or be empty (ArchiveError).
    ArchiveWriter(std::filesystem::path dir, std::string mailbox);

    const std::filesystem::path &dir() const { return dir_; }

    // Tells `listener` (which outlives the writer, or nullptr) what is added.
    void set_listener(ArchiveListener *listener) { listener_ = listener; }

    // Starts the next folder (ending the one before); later items go into it.
    void begin_folder(const std::string &path, const std::string &internal_path,
                      int folder_type, int source_total);

    // Writes the record and copies its files from work_dir.  Throws
    // (ArchiveError or std::runtime_error) and leaves nothing of the item
    // behind when it cannot.
    void write_item(const qv_message &msg, const std::string &work_dir);

    // Ends the last folder and writes the manifest: from now on the archive
    // can be read.
    void finish();

    const ArchiveManifest &manifest() const { return manifest_; }

  private:
    std::filesystem::path dir_;
    ArchiveManifest manifest_;
    ArchiveListener *listener_ = nullptr;
};

class ArchiveReader {
  public:
    // Reads and checks the manifest; throws ArchiveError.
    explicit ArchiveReader(std::filesystem::path dir);
    // Reads an archive still being written, whose folders and items the
    // caller learnt from its writer: `manifest` names its mailbox, and
    // read_item takes the ArchiveFolder of each item's folder.
    ArchiveReader(std::filesystem::path dir, ArchiveManifest manifest);

    const ArchiveManifest &manifest() const { return manifest_; }

    // Reads every item and checks every file against its recorded size and
    // digest without copying anything; throws ArchiveError for the first
    // problem.
    void verify() const;

    // What the caller does with an item's files once they are read.
    enum class FileUse {
        Writable,  // hands them to a connector, which may change them
        CheckOnly, // needs them checked, not copied anywhere
        Taken,     // hands them to a connector; the archive is not read
                   // again, so its files (and the item) are taken away
    };

    // Fills `msg` (reset, msg_number set) with item `sequence` (1-based) of
    // `folder` and puts its files into work_dir (nowhere for CheckOnly).
    // With Taken, the item is gone from the archive once it was read whole.
    // Throws ArchiveError.
    void read_item(const ArchiveFolder &folder, int sequence, qv_message &msg,
                   const std::string &work_dir, FileUse use = FileUse::Writable) const;

  private:
    std::filesystem::path dir_;
    ArchiveManifest manifest_;
};

// "0001/000003.json": the name an item has inside the archive.
std::string archive_item_name(int folder_number, int sequence);

} // namespace qvmigrate
