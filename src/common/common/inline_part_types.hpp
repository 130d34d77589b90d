// Inline parts of a message that are neither its body nor a file: the
// parts of a report, text of other types than plain and HTML.  The mail
// reader names them, the MIME builder writes them back with the media type
// their name stands for.  The record has no field for a media type, so the
// name carries it, as "pgp message" and "RAWRFC.dat" do.
#pragma once

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

#include "common/text_case.hpp"

namespace qvcommon {

struct InlinePartType {
    std::string_view name;       // the part's file_name in the record
    std::string_view media_type; // its type in the message
};

inline constexpr InlinePartType kInlinePartTypes[] = {
    {"delivery-status.txt", "message/delivery-status"},
    {"rfc822-headers.txt", "text/rfc822-headers"},
    {"disposition-notification.txt", "message/disposition-notification"},
    {"feedback-report.txt", "message/feedback-report"},
    {"external-body.txt", "message/external-body"},
};

// Other text types travel as "Inline.<subtype>".
inline constexpr std::string_view kInlineTextPrefix = "Inline.";
inline constexpr std::size_t kSubtypeMax = 40;

inline bool IsSubtypeText(std::string_view subtype)
{
    return !subtype.empty() && subtype.size() <= kSubtypeMax &&
           std::all_of(subtype.begin(), subtype.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' ||
                      c == '+' || c == '_';
           });
}

// The record name of an unnamed part of this media type (lower case, no
// parameters), or empty when the part is an ordinary text or file.
inline std::string InlinePartName(std::string_view media_type)
{
    for (const InlinePartType &t : kInlinePartTypes)
        if (EqualsNoCase(media_type, t.media_type))
            return std::string(t.name);
    if (!StartsWithNoCase(media_type, "text/"))
        return {};
    const std::string_view subtype = media_type.substr(5);
    if (EqualsNoCase(subtype, "plain") || EqualsNoCase(subtype, "html") ||
        !IsSubtypeText(subtype))
        return {};
    std::string name(kInlineTextPrefix);
    for (char c : subtype)
        name.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return name;
}

// The media type an inline part of this name is written with: text/plain
// for any name that stands for none.
inline std::string InlinePartMediaType(std::string_view name)
{
    for (const InlinePartType &t : kInlinePartTypes)
        if (EqualsNoCase(name, t.name))
            return std::string(t.media_type);
    if (StartsWithNoCase(name, kInlineTextPrefix)) {
        const std::string_view subtype = name.substr(kInlineTextPrefix.size());
        if (IsSubtypeText(subtype) && !EqualsNoCase(subtype, "txt"))
            return "text/" + std::string(subtype);
    }
    return "text/plain";
}

// Whether the name stands for a media type of its own: such a part is
// never the body.
inline bool IsTypedInlinePartName(std::string_view name)
{
    return InlinePartMediaType(name) != "text/plain";
}

} // namespace qvcommon
