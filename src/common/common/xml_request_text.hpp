// Record texts on their way into an EWS request.  Whatever a source
// mailbox held, a request must stay well-formed XML 1.0: one contact with a
// stray control character or a broken UTF-8 name must not fail the whole
// request.  So every text written into a request goes through these:
//  - characters XML 1.0 forbids are left out (NUL and the C0 controls other
//    than tab, CR and LF, U+FFFE, U+FFFF, surrogate code points) and so are
//    bytes that are no valid UTF-8 (stray continuation bytes, overlong or
//    cut-off sequences, values past U+10FFFF);
//  - a body goes into CDATA sections, and a "]]>" inside it is split across
//    two sections, so that it cannot end the section early;
//  - a text stored into a fixed record field is cut at a UTF-8 boundary,
//    never inside a character.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace qvcommon {

// Removes what XML 1.0 cannot carry from text that arrives in pieces (a
// body read from a file chunk by chunk): a sequence cut by the end of one
// piece is completed by the next.
class XmlCharFilter {
  public:
    // The acceptable text of `piece`, with what was held back before.
    std::string Feed(std::string_view piece);
    // The end of the text: an unfinished sequence held back is dropped.
    void Finish() { pending_.clear(); }

  private:
    std::string pending_; // start of a UTF-8 sequence cut by the piece's end
};

// `text` without the characters and bytes XML 1.0 cannot carry.
std::string XmlRequestText(std::string_view text);

// XmlRequestText, then escaped for element content and attribute values
// (& < > " ' as entities).
std::string XmlRequestEscaped(std::string_view text);

// `text` (already filtered) as CDATA: "<![CDATA[...]]>", where every "]]>"
// of the text ends one section after "]]" and starts the next with ">".
std::string CdataSections(std::string_view text);

// The longest start of `text` of at most `max` bytes that does not end
// inside a UTF-8 sequence.
std::string_view Utf8Prefix(std::string_view text, std::size_t max);

// Stores `text` into a fixed field of `capacity` bytes (terminator
// included), at most `max` bytes of it, cut at a UTF-8 boundary.
void CopyToField(char *field, std::size_t capacity, std::string_view text, std::size_t max);

template <std::size_t N>
void CopyToField(char (&field)[N], std::string_view text, std::size_t max = N - 1)
{
    CopyToField(field, N, text, max);
}

} // namespace qvcommon
