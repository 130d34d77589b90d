// Attachment download for the items read as EWS XML (contacts, tasks,
// calendar items): their file attachments do not travel inside MIME
// content, so each one is fetched with GetAttachment, decoded into a part
// file "%sPRT%03d%02d.TMP" and added to the record as a part of type 0.
//
// Every file attachment of the item is fetched, in the order the item
// lists them; an item with two attachments keeps both.  Item attachments
// (an attached message) carry no file content and are passed over.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "qv/record.h"

namespace qvamz {

struct Session;

inline constexpr std::size_t kAttachmentIdMax = 1023;  // bytes of one attachment id
inline constexpr std::size_t kAttachmentNameMax = 250; // bytes of a part's file name
inline constexpr std::string_view kAttachmentAnswerFile = "attach.xml";

// One file attachment named in an item's XML.
struct AttachmentRef {
    std::string id;
    std::string name; // "" when the item gives none
};

// The file attachments of an item's XML (GetItem answer text, one tag per
// line), in order.
std::vector<AttachmentRef> FileAttachmentsOf(std::string_view item_text);

// The inside of the GetAttachment request for one attachment id.
std::string GetAttachmentBody(std::string_view attachment_id);

// Fetches every file attachment named in `item_text` into part files of
// `msg` in `work_dir`.  An attachment that cannot be fetched, or that is
// empty, adds no part (and leaves no part file).  Returns the number of
// file attachments the item names (0: nothing was asked for).
int DownloadAttachments(Session &session, std::string_view item_text, qv_message &msg,
                        const std::string &work_dir);

} // namespace qvamz
