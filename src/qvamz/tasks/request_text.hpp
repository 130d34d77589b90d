// Text written into task requests.  Every text is cleaned first: characters
// XML 1.0 cannot carry (NUL and the other C0 controls but tab, CR and LF,
// U+FFFE, U+FFFF, surrogates, invalid UTF-8) are left out, since one of
// them makes the server refuse the whole request.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qvamz::tasks {

// `text` without the characters XML 1.0 forbids.
std::string XmlCleanText(std::string_view text);

// Cleaned and escaped for element content or a double-quoted attribute.
std::string XmlRequestText(std::string_view text);

// Cleaned text as CDATA sections: a "]]>" inside it is split across two
// sections, so it cannot end the section early.
std::string CdataSections(std::string_view text);

// The longest start of `text` of at most `max` bytes that does not end
// inside a UTF-8 character.
std::string_view CutAtCharacter(std::string_view text, std::size_t max);

} // namespace qvamz::tasks
