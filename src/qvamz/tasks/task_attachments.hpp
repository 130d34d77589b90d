// File attachments of tasks.  Tasks cross as EWS XML, not MIME, so their
// attachments travel on their own: fetched with GetAttachment after the
// task, added with CreateAttachment after CreateItem made it.
#pragma once

#include <string>

#include "qv/record.h"

namespace qvamz {
struct Session;
}

namespace qvamz::tasks {

// Fetches every file attachment the GetItem answer lists into part files
// of the record (part type 0, with name and size).  Returns the number of
// parts added.
int DownloadTaskAttachments(Session &session, const std::string &answer_path, qv_message *msg,
                            const std::string &work_dir);

// Adds every attachment part (type 0) of the record to the item, one
// CreateAttachment each.  Returns the number that failed (each logged).
int UploadTaskAttachments(Session &session, const qv_message &msg, const std::string &work_dir,
                          const std::string &item_id, std::string change_key);

// The inside of one CreateAttachment request.
std::string CreateAttachmentBody(const std::string &item_id, const std::string &change_key,
                                 const std::string &name, std::string_view content);

} // namespace qvamz::tasks
