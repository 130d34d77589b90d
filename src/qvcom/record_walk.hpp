// record_walk.hpp - visiting a message record and its embedded messages,
// and the names of their part files.
#ifndef QVCOM_RECORD_WALK_HPP
#define QVCOM_RECORD_WALK_HPP

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qv/record.h"

namespace qvcom::detail {

// Slots that may hold a record: the counted ones and any record allocated
// at or beyond the count that was never counted.
int used_part_slots(const qv_message &msg);

// The record and every message embedded in it, at any depth, parents
// before children.  Iterative, so deep nesting cannot exhaust the stack.
std::vector<qv_message *> message_tree(qv_message *root);
std::vector<const qv_message *> message_tree(const qv_message *root);

// "%sPRT%03d%02d.TMP": the file of part `index` of message `msg_number`.
std::string part_file_path(std::string_view work_dir, int msg_number, int index);

// The folder of part files, opened once, so that each file is reached by
// its name alone instead of a walk along its whole path.  Paths that do not
// begin with the folder, or all when it cannot be opened, are used whole.
class PartFolder {
  public:
    // `work_dir`: what every part file path begins with.
    explicit PartFolder(std::string_view work_dir);
    ~PartFolder();
    PartFolder(const PartFolder &) = delete;
    PartFolder &operator=(const PartFolder &) = delete;

    int open_for_reading(const std::string &path) const; // open(2)
    void remove(const std::string &path) const;          // unlink(2)

  private:
    // The directory descriptor and the name in it, or AT_FDCWD and `path`.
    std::pair<int, const char *> locate(const std::string &path) const;

    std::string dir_; // up to the last "/" of the work directory
    int fd_ = -1;
};

// The caller's working directory, or the host's when the caller gave none.
std::string resolve_work_dir(const char *work_dir);

} // namespace qvcom::detail

#endif
