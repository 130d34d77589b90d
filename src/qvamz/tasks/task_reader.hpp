// Reading task folders: ConvertFolder hands folders of type 3 here.  Each
// task is listed with FindItem, fetched with GetItem (all properties, text
// body) and turned into a record of item type 3 for the host.
#pragma once

#include <string>

#include "qv/record.h"

namespace qvamz {
struct Session;
struct ConvertFolderArguments;
struct FolderEntry;
} // namespace qvamz

namespace qvamz::tasks {

inline constexpr std::size_t kTaskTextMax = 250;   // bytes of a text field read
inline constexpr std::size_t kTaskBodyMax = 16383; // bytes of the body kept
inline constexpr std::string_view kTaskAnswerFile = "task.xml";

// Reads the tasks of `folder` and hands each to the host; stores the
// number handed over in *args.out_count.  Returns 0, or 99 when the host
// ended the folder with 1235.
int ConvertTaskFolder(Session &session, const ConvertFolderArguments &args, const FolderEntry &folder);

// Fills the record from the text of a task's GetItem answer: subject,
// dates, progress (status and percentage), importance, sensitivity,
// reminder, categories, recurrence, and the body as the record's text body
// part (file in `work_dir`).  A recurrence the record cannot carry is
// described in a note after the body.
void ParseTaskText(std::string answer, qv_message *msg, const std::string &work_dir);

// ParseTaskText on the answer file; 0 when it cannot be read (the record
// is left as it was), else 1.
int ParseTaskItem(const std::string &answer_path, qv_message *msg, const std::string &work_dir);

} // namespace qvamz::tasks
