// Splitting address lists (see address_groups.hpp).
#include "mailread/address_groups.hpp"

namespace qvamz::mailread {
namespace {

// Index just past the quoted string, (nested) comment or angle address
// that opens at text[i].
std::size_t skip_delimited(std::string_view text, std::size_t i)
{
    if (text[i] == '<') {
        const std::size_t close = text.find('>', i);
        return close == std::string_view::npos ? text.size() : close + 1;
    }
    const bool quoted = text[i] == '"';
    int depth = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\') {
            ++i;
        } else if (quoted) {
            if (c == '"' && ++depth == 2)
                return i + 1;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')' && --depth == 0) {
            return i + 1;
        }
    }
    return text.size();
}

// Whether a text holds something besides blanks and comments.
bool has_content(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '(') {
            i = skip_delimited(text, i);
        } else if (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n') {
            ++i;
        } else {
            return true;
        }
    }
    return false;
}

} // namespace

std::vector<AddressEntry> SplitAddressList(std::string_view list)
{
    std::vector<AddressEntry> entries;
    bool in_group = false;
    std::size_t start = 0;
    const auto take_mailbox = [&](std::size_t end) {
        const std::string_view text = list.substr(start, end - start);
        if (has_content(text))
            entries.push_back({AddressEntry::Kind::kMailbox, std::string(text)});
    };
    for (std::size_t i = 0; i < list.size();) {
        const char c = list[i];
        if (c == '"' || c == '(' || c == '<') {
            i = skip_delimited(list, i);
            continue;
        }
        if (c == ':' && !in_group) {
            entries.push_back({AddressEntry::Kind::kGroupStart, std::string(list.substr(start, i - start))});
            in_group = true;
            start = i + 1;
        } else if (c == ';' && in_group) {
            take_mailbox(i);
            entries.push_back({AddressEntry::Kind::kGroupEnd, {}});
            in_group = false;
            start = i + 1;
        } else if (c == ',' || c == ';') {
            take_mailbox(i);
            start = i + 1;
        }
        ++i;
    }
    take_mailbox(list.size());
    if (in_group)
        entries.push_back({AddressEntry::Kind::kGroupEnd, {}});
    return entries;
}

} // namespace qvamz::mailread
