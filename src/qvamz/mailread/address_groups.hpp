// Address lists with RFC 5322 groups ("Team: a@x, b@y;") and comments.
// The record has no group field, so groups travel as recipients without
// an address: one named "Team:" opens the group, its members follow, one
// named ";" closes it; an empty group is one recipient named "Team:;".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qvamz::mailread {

struct AddressEntry {
    enum class Kind { kMailbox, kGroupStart, kGroupEnd };
    Kind kind;
    std::string text; // the mailbox text, or the group's display phrase
};

// Splits a header value into mailboxes and group marks, in order.  Entries
// holding nothing but blanks and comments are left out.
std::vector<AddressEntry> SplitAddressList(std::string_view list);

// The record names of the group marks.
inline constexpr std::string_view kGroupEndName = ";";
inline std::string GroupStartName(std::string_view group) { return std::string(group) + ":"; }
inline std::string EmptyGroupName(std::string_view group) { return std::string(group) + ":;"; }

} // namespace qvamz::mailread
