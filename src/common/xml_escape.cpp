#include "common/xml_escape.hpp"

namespace qvcommon {

const char *EntityFor(char c, EscapeQuotes quotes)
{
    switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return quotes == EscapeQuotes::kNone ? nullptr : "&quot;";
    case '\'': return quotes == EscapeQuotes::kBoth ? "&apos;" : nullptr;
    default: return nullptr;
    }
}

std::string XmlEscaped(std::string_view text, EscapeQuotes quotes)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (const char *entity = EntityFor(c, quotes))
            out += entity;
        else
            out += c;
    }
    return out;
}

} // namespace qvcommon
