// Compares a copied message with its source, both as GMime reads them, and
// names each difference by kind: "subject", "addresses", "text", "tabs",
// "text-lost", "text-extra", "charset", "empty-body", "attachment-lost",
// "attachment-bytes", "attachment-name", "attachment-type",
// "attachment-extra", "attachment-became-body", "body-became-attachment",
// "disposition", "unparsed".
#pragma once

#include <set>
#include <string>
#include <vector>

#include "message_view.hpp"

namespace difftest {

struct Difference {
    std::string kind;
    std::string detail; // for people: what differs, with short excerpts
};

// `raw` with a blank line put where a header block (of the message or of a
// part) runs into a line that is no header: what the sender meant, and what
// the source is compared as.  `boundaries` are the message's multiparts'.
std::string with_header_ends(const std::string &raw, const std::vector<std::string> &boundaries);

std::vector<Difference> compare_messages(const MessageView &source, const MessageView &target);

// The kinds of `differences`, each once.
std::set<std::string> kinds_of(const std::vector<Difference> &differences);

// Line ends made LF, trailing blanks and line ends at the very end removed:
// the only changes a writer may legitimately make to a text body.
std::string normalise_text(const std::string &text);

} // namespace difftest
