// RFC 5322 address lists: splitting a list into mailboxes and a mailbox
// into display name and address.
#include <cstring>

#include "mime_internal.hpp"

namespace qvcom::mime {
namespace {

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string trim(std::string_view s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && is_blank(s[b]))
        ++b;
    while (e > b && is_blank(s[e - 1]))
        --e;
    return std::string(s.substr(b, e - b));
}

// Index just past the quoted string that opens at text[i].
std::size_t skip_quoted(std::string_view text, std::size_t i)
{
    for (++i; i < text.size(); ++i) {
        if (text[i] == '\\')
            ++i;
        else if (text[i] == '"')
            return i + 1;
    }
    return text.size();
}

// Index just past the (nested) comment that opens at text[i].
std::size_t skip_comment(std::string_view text, std::size_t i)
{
    int depth = 0;
    for (; i < text.size(); ++i) {
        if (text[i] == '\\') {
            ++i;
        } else if (text[i] == '(') {
            ++depth;
        } else if (text[i] == ')' && --depth == 0) {
            return i + 1;
        }
    }
    return text.size();
}

// Index just past the encoded word that opens at text[i], or i.
std::size_t skip_encoded_word(std::string_view text, std::size_t i)
{
    if (text.compare(i, 2, "=?") != 0)
        return i;
    const std::size_t q1 = text.find('?', i + 2);
    if (q1 == std::string_view::npos || q1 + 2 >= text.size() || text[q1 + 2] != '?')
        return i;
    const std::size_t end = text.find("?=", q1 + 3);
    if (end == std::string_view::npos || text.substr(i, end - i).find_first_of(" \t") != std::string_view::npos)
        return i;
    return end + 2;
}

// One mailbox of a list: [begin, end) of its text, the end being the
// separator (or the end of the list).  A group name before ":" is skipped.
struct Span {
    std::size_t begin, end;
};

Span next_mailbox(std::string_view list)
{
    std::size_t begin = 0;
    for (std::size_t i = 0; i < list.size();) {
        const char c = list[i];
        if (c == '"') {
            i = skip_quoted(list, i);
        } else if (c == '(') {
            i = skip_comment(list, i);
        } else if (c == '<') {
            const std::size_t close = list.find('>', i);
            i = close == std::string_view::npos ? list.size() : close + 1;
        } else if (c == '=' && skip_encoded_word(list, i) != i) {
            i = skip_encoded_word(list, i);
        } else if (c == ':') {
            begin = ++i; // "Group: a@x, b@x;"
        } else if (c == ',' || c == ';') {
            return {begin, i};
        } else {
            ++i;
        }
    }
    return {begin, list.size()};
}

// The display name of a phrase: quoted strings lose their quotes and
// escapes, comments are dropped, runs of blanks become one.
std::string phrase_text(std::string_view phrase, std::string *comment_text)
{
    std::string out;
    for (std::size_t i = 0; i < phrase.size();) {
        const char c = phrase[i];
        if (c == '"') {
            const std::size_t end = skip_quoted(phrase, i);
            for (std::size_t k = i + 1; k < end && k < phrase.size(); ++k) {
                if (phrase[k] == '\\' && k + 1 < phrase.size())
                    out.push_back(phrase[++k]);
                else if (phrase[k] != '"' || k + 1 < end)
                    out.push_back(phrase[k]);
            }
            i = end;
        } else if (c == '(') {
            const std::size_t end = skip_comment(phrase, i);
            if (comment_text && comment_text->empty() && end - i >= 2)
                *comment_text = trim(phrase.substr(i + 1, end - i - 2));
            i = end;
        } else {
            out.push_back(is_blank(c) ? ' ' : c);
            ++i;
        }
    }
    // Collapse blanks.
    std::string collapsed;
    for (char c : out) {
        if (c == ' ' && (collapsed.empty() || collapsed.back() == ' '))
            continue;
        collapsed.push_back(c);
    }
    return trim(collapsed);
}

// The address inside angle brackets without a source route.
std::string angle_address(std::string_view inner)
{
    std::string addr = trim(inner);
    if (!addr.empty() && addr[0] == '@') {
        const std::size_t colon = addr.find(':');
        if (colon != std::string::npos)
            addr.erase(0, colon + 1);
    }
    return trim(addr);
}

// Position of the "<" of the angle address, outside quotes and comments.
std::size_t find_angle(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '"')
            i = skip_quoted(text, i);
        else if (text[i] == '(')
            i = skip_comment(text, i);
        else if (text[i] == '<')
            return i;
        else
            ++i;
    }
    return std::string_view::npos;
}

} // namespace

void split_mailbox(std::string_view text, std::string &name, std::string &address)
{
    name.clear();
    address.clear();
    const std::size_t open = find_angle(text);
    if (open != std::string_view::npos) {
        const std::size_t close = text.find('>', open);
        const std::size_t inner_end = close == std::string_view::npos ? text.size() : close;
        address = angle_address(text.substr(open + 1, inner_end - open - 1));
        std::string comment;
        name = phrase_text(text.substr(0, open), &comment);
        if (name.empty() && close != std::string_view::npos)
            name = phrase_text(text.substr(close + 1), nullptr);
        if (name.empty())
            name = comment;
        return;
    }
    // addr-spec, perhaps with a comment holding the name: the one after the
    // address ("gil@x (Gil)") when there are several.
    std::string comment, bare;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '(') {
            const std::size_t end = skip_comment(text, i);
            std::string inner = end - i >= 2 ? phrase_text(text.substr(i + 1, end - i - 2), nullptr) : "";
            if (!inner.empty() && (comment.empty() || !trim(bare).empty()))
                comment = std::move(inner);
            i = end;
        } else if (text[i] == '"') {
            const std::size_t end = skip_quoted(text, i);
            bare.append(text.substr(i, end - i));
            i = end;
        } else {
            bare.push_back(text[i++]);
        }
    }
    bare = trim(bare);
    const bool is_address = bare.find('@') != std::string::npos ||
                            (bare.find_first_of(" \t") == std::string::npos && bare.find('"') == std::string::npos);
    if (is_address) {
        address = bare;
        name = comment;
    } else {
        name = phrase_text(bare, nullptr);
    }
}

} // namespace qvcom::mime

using namespace qvcom::mime;

extern "C" QVCOM_API int com_Extract_Adr(const char **cursor, char *out, size_t out_size)
{
    if (out && out_size)
        out[0] = '\0';
    if (!cursor || !*cursor)
        return 0;
    const std::string_view list(*cursor);
    const Span span = next_mailbox(list);
    if (out && out_size)
        copy_out(trim(list.substr(span.begin, span.end - span.begin)), out, out_size);
    const std::size_t next = span.end < list.size() ? span.end + 1 : list.size();
    *cursor += next;
    const std::string_view rest = list.substr(next);
    return rest.find_first_not_of(" \t\r\n,;") == std::string_view::npos ? 0 : 1;
}

extern "C" QVCOM_API int com_ExtractMIMEAddr(const char *text, char *name, size_t name_size,
                                            char *address, size_t address_size)
{
    std::string n, a;
    if (text)
        split_mailbox(text, n, a);
    if (name && name_size)
        copy_out(n, name, name_size);
    if (address && address_size)
        copy_out(a, address, address_size);
    return (!n.empty() || !a.empty()) ? 1 : 0;
}
