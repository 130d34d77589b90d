#include "common/text_case.hpp"

namespace qvcommon {

// Not std::tolower: that follows the C locale a host may have changed.
char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

std::size_t FindNoCase(std::string_view text, std::string_view needle, std::size_t from)
{
    if (needle.size() > text.size())
        return std::string_view::npos;
    if (needle.empty())
        return from <= text.size() ? from : std::string_view::npos;
    // Only where the first character matches (in either case) is the rest
    // compared: header values are searched on every part.
    const char lower = AsciiLower(needle[0]);
    const char upper = lower >= 'a' && lower <= 'z' ? static_cast<char>(lower - 'a' + 'A') : lower;
    const std::string_view rest = needle.substr(1);
    for (std::size_t at = from; at + needle.size() <= text.size(); ++at)
        if ((text[at] == lower || text[at] == upper) &&
            EqualsNoCase(text.substr(at + 1, rest.size()), rest))
            return at;
    return std::string_view::npos;
}

bool ContainsNoCase(std::string_view text, std::string_view needle)
{
    return FindNoCase(text, needle) != std::string_view::npos;
}

} // namespace qvcommon
