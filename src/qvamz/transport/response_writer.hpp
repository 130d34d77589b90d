// Reformats an EWS answer while it streams to disk so that every XML tag
// ends a line and text between tags stands on a line of its own:
//
//   <a><b>x</b></a>   becomes   <a>\r\n<b>\r\nx\r\n</b>\r\n</a>\r\n
//
// Every reader of answers scans them line by line and relies on this form.
// The formatter keeps its state between chunks, so the result does not
// depend on where the network splits the answer: feeding an answer in any
// pieces gives the same bytes as feeding it whole.
#pragma once

#include <string>
#include <string_view>

namespace qvamz {

class TagLineFormatter {
  public:
    // Appends the reformatted `chunk` to `out`.
    void Feed(std::string_view chunk, std::string &out);

    // Forgets the state of the previous answer.
    void Reset() noexcept
    {
        break_before_tag_ = false;
        after_tag_end_ = false;
    }

  private:
    bool break_before_tag_ = false; // text follows a tag: end its line at the next "<"
    bool after_tag_end_ = false;    // the last byte seen was ">"
};

} // namespace qvamz
