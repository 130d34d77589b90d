// Attachment upload for the items written as EWS XML (contacts, tasks,
// calendar items): the item is created first, then each file attachment
// follows with its own CreateAttachment against the item's ItemId and
// ChangeKey.  Mail does not come here: its attachments travel inside the
// MIME content.
//
// Every CreateAttachment changes the parent item, and the server answers
// with the parent's new change key (RootItemChangeKey).  That key is taken
// for the next attachment of the same item: a stale key would make the
// second attachment fail.
#pragma once

#include <string>
#include <string_view>

#include "qv/record.h"

namespace qvamz {

struct Session;

inline constexpr std::string_view kAttachmentRequestFile = "attreq.xml";
inline constexpr std::string_view kAttachmentAnswerFileName = "attres.xml";

// The item the attachments go to; `change_key` follows every upload.
struct ParentItem {
    std::string id;
    std::string change_key;
};

// The content type an inline attachment gets from its name ("" when none
// fits); later rules win: "scan.gif.png" is "image/png".
std::string InlineContentType(std::string_view name);

// Writes the CreateAttachment request body for one part file to
// `request`.  False when the part file cannot be read.
bool WriteCreateAttachmentBody(std::FILE *request, const std::string &part_path,
                               std::string_view name, std::string_view content_id,
                               const ParentItem &parent, int server_major_version);

// The parent's change key in a CreateAttachment answer, "" when absent.
std::string RootItemChangeKeyOf(const std::string &answer_path);

// Uploads one part file as a file attachment.  1 created (the parent's
// change key then is the answer's), 0 not ("QV Warning" logged; the
// request and answer files stay for a look).
int CreateAttachment(Session &session, const std::string &work_dir, const std::string &part_path,
                     std::string_view name, std::string_view content_id, ParentItem &parent);

// Uploads every part of type 0 of `msg`, in order.  Returns the number of
// attachments that could not be created.
int UploadAttachments(Session &session, const qv_message &msg, const std::string &work_dir,
                      ParentItem &parent);

} // namespace qvamz
