// Escaping text for XML element content and attributes, and for HTML.
#pragma once

#include <string>
#include <string_view>

namespace qvcommon {

// Which quote characters become entities besides &, < and >.
enum class EscapeQuotes {
    kNone,   // element content rendered as HTML text
    kDouble, // HTML attribute values
    kBoth,   // XML: &quot; and &apos;
};

// The entity that stands for `c`, or nullptr when `c` stays as it is.
const char *EntityFor(char c, EscapeQuotes quotes = EscapeQuotes::kBoth);
std::string XmlEscaped(std::string_view text, EscapeQuotes quotes = EscapeQuotes::kBoth);

} // namespace qvcommon
