// record_json.hpp - one message record (with its parts, recipients,
// breakouts and embedded messages, at any depth up to kMaxEmbeddedDepth)
// as a JSON object, and back.
//
// Files that belong to the record (part files, breakout description and
// attendee files) travel beside the JSON under names made from the item's
// base name and indices ("000001.p003", "000001.p003.p000",
// "000001.b002.description"), never from names found in the message.
#pragma once

#include <cjson/cJSON.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "qv/record.h"

namespace qvmigrate {

// Embedded messages inside embedded messages, counted from the item.
inline constexpr int kMaxEmbeddedDepth = 100;

struct StoredFile {
    std::string name; // archive file name
    std::uint64_t bytes = 0;
    std::string sha256;
};

// Receives the record's files while it is written.
class FileStore {
  public:
    virtual ~FileStore() = default;
    // Copies `source` in under `name`; nothing when `source` does not
    // exist.  Throws when the copy fails.
    virtual std::optional<StoredFile> put(const std::string &source, const std::string &name) = 0;
};

// Gives the record's files back while it is read.
class FileSource {
  public:
    virtual ~FileSource() = default;
    // Checks the archived file against its recorded size and digest and
    // copies it to `destination` (a source that only checks may skip the
    // copy).  Returns "" or the problem.
    virtual std::string fetch(const StoredFile &file,
                              const std::filesystem::path &destination) = 0;
};

// Throws std::runtime_error for a record the archive cannot hold (deeper
// than kMaxEmbeddedDepth) or a file that cannot be copied.
void message_to_json(const qv_message &msg, const std::string &work_dir,
                     const std::string &base_name, FileStore &store, cJSON *object);

// Fills a zeroed (or reset) record whose msg_number is set; sub-records
// come from libqvcom, part files go to "%sPRT%03d%02d.TMP" in work_dir.
// Returns "" or the reason the JSON was refused ("parts[2].part_type:
// expected a whole number ...").
std::string message_from_json(const cJSON *object, qv_message &msg,
                              const std::string &work_dir, const std::string &base_name,
                              FileSource &source);

} // namespace qvmigrate
