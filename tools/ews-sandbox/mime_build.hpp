// Writes RFC 822 text: messages for items created without MIME content,
// attachments added to a stored message, and the pieces (dates, encoded
// words) the demo content is built from.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "mail_codec.hpp"
#include "mime_summary.hpp"

namespace sandbox {

// "Tue, 05 Mar 2024 14:07:09 +0100" for UTC time t shown at the offset.
std::string rfc5322_date(UnixTime t, int offset_minutes = 0);

// The text as an RFC 2047 header value: unchanged when it is printable
// ASCII, else UTF-8 "B" encoded words of at most 75 characters, separated
// by folding white space.
std::string encode_header_text(std::string_view utf8);

// "Name <addr>" with the name quoted or encoded as needed.
std::string format_address(const MailAddress &a);

struct NewFileAttachment {
    std::string name;
    std::string content_type; // empty: application/octet-stream
    std::string content_id;   // without angle brackets
    bool is_inline = false;
    std::string content;      // decoded bytes
};

// The message with the attachment added as the last part of its top-level
// multipart/mixed; a message that is not multipart/mixed is wrapped into
// one first.  Everything else in the text stays byte for byte.
std::string append_attachment(std::string_view mime, const NewFileAttachment &attachment);

struct SimpleMessage {
    std::string subject;
    std::optional<MailAddress> from;
    std::vector<MailAddress> to, cc, bcc;
    std::string body;
    bool body_is_html = false;
    UnixTime date = 0;
    std::string message_id; // with angle brackets; empty: no Message-ID
};

// A single-part UTF-8 message (base64 body) from item properties.
std::string build_mime(const SimpleMessage &m);

} // namespace sandbox
