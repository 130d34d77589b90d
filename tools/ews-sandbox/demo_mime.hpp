// Pieces the demo mailbox is written from: RFC 2047 words in any charset,
// quoted-printable, a tiny valid PNG, and the MIME skeletons real mail
// programs send (alternative inside related inside mixed, forwarded
// messages).  Everything is deterministic: the same call gives the same
// bytes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sandbox::demo {

// `utf8` as one or more encoded words in `charset` with encoding 'B' or
// 'Q'; plain ASCII comes back unchanged.
std::string encoded_words(std::string_view utf8, const char *charset, char encoding);

// The text converted from UTF-8 to `charset` (bytes); false when the
// charset cannot hold it.
bool try_charset(std::string_view utf8, const char *charset, std::string &out);

// The text converted from UTF-8 to `charset` (bytes), for bodies; throws
// when the charset cannot hold it, so no demo body is ever mislabelled.
std::string to_charset(std::string_view utf8, const char *charset);

// Quoted-printable with soft line breaks at 76 characters, CRLF lines.
std::string quoted_printable(std::string_view bytes);

// A width x height RGB PNG of one colour, stored (uncompressed) deflate.
std::string tiny_png(int width, int height, unsigned char r, unsigned char g, unsigned char b);

// A small but well-formed PDF with one page of text.
std::string tiny_pdf(const std::string &title);

// base64 in 76-character CRLF lines.
std::string base64_lines(std::string_view bytes);

} // namespace sandbox::demo
