// record_walk.hpp - visiting a message record and its embedded messages,
// and the names of their part files.
#ifndef QVCOM_RECORD_WALK_HPP
#define QVCOM_RECORD_WALK_HPP

#include <string>
#include <string_view>
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

// The caller's working directory, or the host's when the caller gave none.
std::string resolve_work_dir(const char *work_dir);

} // namespace qvcom::detail

#endif
