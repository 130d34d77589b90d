// compare_tasks.hpp - the demo check for tasks: each task of the source
// dump against the task of the same folder and subject in the target,
// field by field (status, percentage, dates, reminder, importance,
// sensitivity, categories, body, attachments, recurrence).
#pragma once

#include <string>
#include <vector>

#include "dump_compare.hpp"

namespace qvmigrate {

bool is_task(const DumpItem &item);

// The differences between the tasks of two dumps, in words.
std::vector<std::string> compare_tasks(const MailboxDump &source, const MailboxDump &target);

} // namespace qvmigrate
