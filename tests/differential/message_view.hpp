// A stored message as GMime reads it, reduced to what a copy must keep:
// subject, sender and recipients, the text bodies and every other leaf
// part with its bytes.  GMime is the independent reader here: neither the
// connector's parser nor its MIME builder is involved.
#pragma once

#include <string>
#include <vector>

namespace difftest {

struct Address {
    std::string name;    // decoded display name
    std::string address; // the address itself; empty for a group
    std::string group;   // the enclosing group's name, empty outside a group
    bool is_group = false; // an (empty) group itself, listed so it cannot vanish unseen
};

struct Leaf {
    std::string type;        // lower-case "text/plain", "message/rfc822", ...
    std::string charset;     // as labelled, lower-case
    std::string filename;    // decoded filename or name parameter
    std::string disposition; // lower-case, "" when absent
    std::string bytes;       // decoded content
    std::string text;        // text leaves: content converted to UTF-8
    int embedded = -1;       // message/rfc822: index into MessageView::embedded

    // An inline text/plain or text/html part without a file name: a body.
    bool is_text_body() const;
};

struct MessageView {
    bool parsed = false;
    std::string top_type; // type of the top-level entity
    std::string subject;
    std::string message_id; // without angle brackets
    std::vector<Address> from, to, cc;
    std::vector<std::string> boundaries;  // of every multipart
    std::vector<Leaf> leaves;              // document order
    std::vector<MessageView> embedded;     // attached messages

    std::vector<const Leaf *> bodies() const;
    std::vector<const Leaf *> attachments() const; // every leaf that is not a body
};

// Parses RFC 822/MIME bytes; `parsed` is false when GMime finds no message.
MessageView read_message(const std::string &bytes);

// What a sender of "begin 644 name" ... "end" blocks in a plain text body
// meant: files.  Each block leaves the body and becomes an attachment of
// its own (GMime, like most readers, keeps such blocks as text).
void extract_uuencoded_blocks(MessageView &view);

} // namespace difftest
