// A built message as GMime reads it: the independent check of the tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace mwtest {

// One MIME entity: a multipart, an embedded message or a leaf part.
struct MimeNode {
    std::string type;         // "multipart/mixed", "text/plain", ...
    std::string boundary;     // multiparts
    std::string charset;      // leaves
    std::string filename;     // decoded, leaves
    std::string name;         // decoded "name" parameter
    std::string content_id;   // without brackets
    std::string disposition;  // "attachment", "inline" or ""
    std::string content;      // decoded bytes of a leaf
    std::vector<MimeNode> children; // parts of a multipart; for message/rfc822 the one top part
    // message/rfc822 only: the embedded message's subject
    std::string subject;

};

struct GMimeMessageView {
    bool parsed = false;
    std::string subject;
    std::vector<std::pair<std::string, std::string>> headers; // name, decoded value
    std::string addresses; // "from [name] <address> ...", then to, cc and bcc, a line each
    MimeNode body;
};

GMimeMessageView ParseWithGMime(const std::string &path);

// The built message as text for a golden file: the raw header block, then
// sender, recipients and subject as GMime decodes them, then the MIME tree
// with each leaf's bytes (bytes outside printable ASCII as \xNN; a long
// binary leaf as its size and FNV-1a hash).
std::string BuiltRecord(const std::string &raw, const GMimeMessageView &view);

// Every boundary of the multiparts under `node`, outermost first.
void CollectBoundaries(const MimeNode &node, std::vector<std::string> &out);

} // namespace mwtest
