// Writing task records (item type 3) into the target folder: one
// CreateItem with a <t:Task> per record, then its file attachments.
#pragma once

#include <string>

#include "qv/record.h"

namespace qvamz {
struct Session;
}

namespace qvamz::tasks {

inline constexpr std::string_view kTaskRequestFile = "task-in.xml";
inline constexpr std::string_view kTaskAnswerOutFile = "task-out.xml";

// The inside of the CreateItem request for the record.  Texts follow the
// XML text rules (common/xml_request_text.hpp); null dates leave their elements out.
// `today` anchors a recurrence of a task without dates.
std::string TaskRequestBody(const qv_message &msg, const std::string &folder_id,
                            const std::string &work_dir, qv_filetime today);

// Creates the task and uploads its attachments.  0 when the task was
// stored (attachments that fail are logged), 1234 when it was lost: the
// request file could not be made, the server refused it (HTTP status below
// 500) or kept failing after the "/D261" retries.
int WriteTask(Session &session, const qv_message &msg, const std::string &work_dir);

} // namespace qvamz::tasks
