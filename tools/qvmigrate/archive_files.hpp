// archive_files.hpp - moving part files between the connector's working
// folder and a record archive without making and deleting a file per item.
//
// On ext4 without a journal, every new file skips the inodes freed in the
// last hours that still sit in the cache, one by one: a job that makes and
// deletes a few files per item slows down with every item, and so does the
// next job on the machine.  So an archived part file is the connector's own
// file under a second name (a hard link), and the files handed to the
// connector when a record is read back are kept for reuse between items.
// The connector therefore never writes over a part file in place while the
// file has another name: it deletes the name and makes a new file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace qvmigrate {

// What an archived file holds, as it was read while archived.
struct ArchivedFile {
    std::uint64_t bytes = 0;
    std::string sha256; // lower-case hex
};

// Gives `source` the second name `target` (a hard link), or copies it when
// `source` has another name already, the two are on different file systems
// or the link is refused; makes the archived file private (0600) and reads
// it once, through the descriptor that checked it, for its size and
// digest.  Nothing when `source` is no regular file.  Throws
// std::runtime_error.
std::optional<ArchivedFile> archive_file(const std::string &source, const std::string &target);

// What an archived file is expected to hold.
struct ExpectedFile {
    std::string shown;      // its name for messages, "0001/000003.p000"
    std::uint64_t bytes = 0;
    std::string sha256;     // lower-case hex
};

// Puts a checked copy of `source` at `destination` for the connector, which
// may change or delete it.  The bytes go into a scratch file beside it
// (`destination` + ".slot"), rewritten in place on every call and linked
// in as `destination`: deleting `destination` then frees nothing, and the
// next item's file is no new file.  Returns "" or the problem (missing,
// truncated, damaged, cannot be written); on a problem `destination` does
// not exist.
std::string place_checked_copy(const std::filesystem::path &source, const ExpectedFile &expected,
                               const std::filesystem::path &destination);

// For an archive that is not read again (a copy's stage, once the write
// side has taken an item): `source` is checked and renamed to
// `destination`, so the item's bytes are neither copied nor deleted twice.
// Falls back to place_checked_copy when the rename is refused (another
// file system, say).  Same answer.
std::string place_checked_move(const std::filesystem::path &source, const ExpectedFile &expected,
                               const std::filesystem::path &destination);

// Checks `source` against its size and digest without copying it.
std::string check_archived_file(const std::filesystem::path &source, const ExpectedFile &expected);

} // namespace qvmigrate
