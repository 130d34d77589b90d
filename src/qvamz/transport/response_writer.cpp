#include "transport/response_writer.hpp"

namespace qvamz {

void TagLineFormatter::Feed(std::string_view chunk, std::string &out)
{
    out.reserve(out.size() + chunk.size() + chunk.size() / 4);
    for (const char byte : chunk) {
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
