// mime_digest.hpp - what two copies of a message must agree on, read from
// its MIME text: the text and HTML bodies (decoded to UTF-8, line ends and
// trailing blanks evened out) and the content of every file attachment.
// Used by the demo's check, where the target's message was rebuilt by the
// connector and so differs from the source byte for byte.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvmigrate {

struct MimeDigest {
    std::optional<std::string> text; // first text/plain body
    std::optional<std::string> html; // first text/html body: its visible text, blanks collapsed
    std::vector<std::string> attachment_sha256; // file attachments, sorted
    int embedded_messages = 0;                  // message/rfc822 parts
};

MimeDigest digest_mime(std::string_view message);

// Pieces, exposed for tests.
std::string decode_quoted_printable(std::string_view text);
std::string decode_base64_lenient(std::string_view text);

} // namespace qvmigrate
