// A small streaming XML writer for EWS answers.  It escapes every text and
// attribute value, drops characters XML 1.0 cannot carry (control
// characters, invalid UTF-8 becomes U+FFFD) and closes elements in order,
// so an answer is well formed whatever the mailbox content is.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sandbox {

class XmlOut {
  public:
    // Starts <name ...>; attributes may follow until the first content.
    XmlOut &open(std::string_view name);
    XmlOut &attr(std::string_view name, std::string_view value);
    XmlOut &attr(std::string_view name, std::int64_t value);
    XmlOut &text(std::string_view value);
    // The bytes in base64 (one line) as text: written straight into the
    // answer, as the alphabet needs neither escaping nor cleaning.
    XmlOut &base64_text(std::string_view bytes);
    // Closes the innermost open element (as <x/> when it got no content).
    XmlOut &close();
    // <name>value</name>
    XmlOut &leaf(std::string_view name, std::string_view value);
    XmlOut &leaf(std::string_view name, std::int64_t value);
    XmlOut &leaf_bool(std::string_view name, bool value);
    // <name/> with no attributes
    XmlOut &empty(std::string_view name);
    // Appends text that is already XML (another writer's output).
    XmlOut &raw(std::string_view xml);

    std::size_t depth() const { return stack_.size(); }
    // Closes what is still open and hands the text over.
    std::string finish();

  private:
    void end_start_tag();
    std::string out_;
    std::vector<std::string> stack_;
    bool in_start_tag_ = false;
};

// Escapes for element content (&, <, >) or, with `attribute`, for a
// double-quoted attribute value; also cleans the text as described above.
std::string xml_escape(std::string_view text, bool attribute = false);

// Text fit for XML: control characters other than tab, CR and LF removed,
// invalid UTF-8 sequences replaced by U+FFFD.
std::string xml_clean_utf8(std::string_view text);

} // namespace sandbox
