// `serve --mime-rewrite`: GetItem hands out MIME rebuilt the way Exchange
// does, not the stored bytes, so that clients tested here cannot depend on
// byte identity.  Exchange regenerates MIME from the item's properties; the
// sandbox imitates what a client sees of that:
//   - headers unfolded and folded again at whitespace (lines up to 76
//     characters where possible), in Exchange's order: trace fields first,
//     then the originator, recipient and identification fields, the other
//     fields, MIME-Version and the Content-* fields last;
//   - leaf parts in 8bit, binary, quoted-printable or base64 are decoded and
//     encoded again: text in canonical CRLF form as quoted-printable, any
//     other content as base64 with 76-character lines;
//   - CRLF line ends throughout the rebuilt structure.
// What the message means stays: decoded header values, the structure and
// every part's decoded bytes.  7bit and unknown encodings (x-uuencode, ...)
// are copied unchanged.  Signed or encrypted messages are served as stored,
// since rebuilding them would break their signatures, and so are messages
// that mix CRLF and bare LF line ends, which GMime cannot cut exactly.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sandbox {

// The rebuilt message; nullopt when it is left as stored (signed or
// encrypted content, mixed line ends, or nothing GMime reads as a message).
std::optional<std::string> rewrite_mime(std::string_view mime);

// What GetItem serves: the rebuilt message when `rewrite` is on and the
// message can be rebuilt, the stored bytes otherwise.
std::string mime_as_served(const std::string &stored, bool rewrite);

} // namespace sandbox
