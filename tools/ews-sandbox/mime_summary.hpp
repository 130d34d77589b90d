// Reads stored RFC 822 messages (with GMime): the header fields EWS shows
// as item properties, the bodies, and the attachments.
//
// One walk over the MIME tree decides what is body and what is attachment,
// and every function here uses it, so the attachment list of GetItem, the
// AttachmentIds and GetAttachment agree:
// - the first text/plain and the first text/html leaf that are neither
//   marked "attachment", nor named, nor a non-root part of a
//   multipart/related are the bodies;
// - every other leaf is a file attachment, and every message/rfc822 part an
//   item attachment (its inner parts are not walked);
// - an attachment is inline when it is a non-root part of multipart/related
//   or is marked "inline" and has a Content-ID.
// Nothing here throws on bad input: a text that is no message at all gives
// an empty summary.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mail_codec.hpp"

namespace sandbox {

struct MailAddress {
    std::string name;    // decoded UTF-8, may be empty
    std::string address; // addr-spec
};

struct MimeAttachment {
    std::string name;
    std::string content_type; // "image/png"
    std::string content_id;   // without angle brackets
    bool is_inline = false;
    bool is_message = false;  // message/rfc822: an item attachment
    std::int64_t size = 0;    // decoded bytes
    std::string subject;      // item attachments: the inner message's subject
};

struct MimeSummary {
    bool parsed = false; // false: not a message GMime could read
    std::string subject;
    std::optional<MailAddress> from, sender;
    std::vector<MailAddress> to, cc, bcc, reply_to;
    std::optional<UnixTime> date;
    std::string message_id; // with angle brackets, as in the header
    std::string in_reply_to, references;
    int importance = 1;  // PR_IMPORTANCE: 0 low, 1 normal, 2 high
    int sensitivity = 0; // PR_SENSITIVITY: 0 normal, 1 personal, 2 private, 3 confidential
    bool read_receipt_requested = false;
    std::vector<MimeAttachment> attachments;

    bool has_attachments() const; // a non-inline attachment exists
};

MimeSummary summarize_mime(std::string_view mime);

struct MimeBodies {
    std::optional<std::string> text; // UTF-8
    std::optional<std::string> html; // UTF-8
};
MimeBodies extract_bodies(std::string_view mime);

// The decoded content of attachment `index` (the position in
// MimeSummary::attachments); for an item attachment the inner message as
// RFC 822 text.  nullopt when there is no such attachment.
std::optional<std::string> attachment_content(std::string_view mime, std::size_t index);

// The top-level header fields in order, values unfolded but not decoded.
std::vector<std::pair<std::string, std::string>> top_headers(std::string_view mime);

// "To" display text as Exchange builds it: names (or addresses) joined by "; ".
std::string display_list(const std::vector<MailAddress> &list);

} // namespace sandbox
