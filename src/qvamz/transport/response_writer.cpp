#include "transport/response_writer.hpp"

#include <algorithm>
#include <cstring>

namespace qvamz {

namespace {

// The next `byte` at or after `from`, `end` when there is none.
const char *NextByte(const char *from, const char *end, char byte)
{
    const void *found = std::memchr(from, byte, static_cast<std::size_t>(end - from));
    return found ? static_cast<const char *>(found) : end;
}

} // namespace

void TagLineFormatter::Feed(std::string_view chunk, std::string &out)
{
    out.reserve(out.size() + chunk.size() + chunk.size() / 4);
    const char *at = chunk.data();
    const char *const end = at + chunk.size();
    // The next "<" and ">", looked up again only once passed, so that a
    // long run with many of one and none of the other stays linear.
    const char *next_open = NextByte(at, end, '<');
    const char *next_close = NextByte(at, end, '>');
    while (at < end) {
        if (next_open < at)
            next_open = NextByte(at, end, '<');
        if (next_close < at)
            next_close = NextByte(at, end, '>');
        const char *special = std::min(next_open, next_close);
        if (special > at) { // text: copied as it is
            if (after_tag_end_) {
                break_before_tag_ = true;
                after_tag_end_ = false;
            }
            out.append(at, static_cast<std::size_t>(special - at));
            at = special;
            continue;
        }
        const char byte = *at++;
        if (after_tag_end_) {
            // The byte after ">" decides whether text starts here; it may
            // arrive in the next chunk, so the decision waits for it.
            break_before_tag_ = byte != '<';
            after_tag_end_ = false;
        }
        if (byte == '<' && break_before_tag_) {
            out += "\r\n";
            break_before_tag_ = false;
        }
        out += byte;
        if (byte == '>') {
            out += "\r\n";
            after_tag_end_ = true;
        }
    }
}

} // namespace qvamz
