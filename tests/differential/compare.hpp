// Compares a copied message with its source, both as GMime reads them, and
// names each difference by kind.  Kinds that have a number are the known
// faults of the copy (their numbering is the one the fault list uses);
// the others are words: "lost", "subject", "addresses", "text", "tabs",
// "text-lost", "text-extra", "attachment-lost", "attachment-bytes",
// "attachment-name", "attachment-type", "attachment-extra",
// "attachment-became-body",
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

// What the source's raw bytes show about its shape: the reader may stumble
// where a header block or a part's header runs into its content.
struct SourceShape {
    bool header_runs_into_body = false; // no blank line after the message header
    bool part_header_runs_into_content = false;
    bool has_uuencoded_block = false;   // "begin NNN name" ... "end" in the raw text
};

SourceShape inspect_source(const std::string &raw, const MessageView &view);

// `raw` with a blank line put where a header block (of the message or of a
// part) runs into a line that is no header: what the sender meant, and what
// the source is compared as.  `boundaries` are the message's multiparts'.
std::string with_header_ends(const std::string &raw, const std::vector<std::string> &boundaries);

std::vector<Difference> compare_messages(const MessageView &source, const SourceShape &shape,
                                         const MessageView &target);

// The kinds of `differences`, each once.
std::set<std::string> kinds_of(const std::vector<Difference> &differences);

// Line ends made LF, trailing blanks and line ends at the very end removed:
// the only changes a writer may legitimately make to a text body.
std::string normalise_text(const std::string &text);

} // namespace difftest
