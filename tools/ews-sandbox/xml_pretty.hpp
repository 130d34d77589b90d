// The "--pretty" form of answers, laid out like the examples in Microsoft's
// EWS documentation: one element per line, two spaces per level, and when a
// start tag has several attributes or namespace declarations, each after the
// first on its own line, aligned under the first.
//
// Text is never changed: an element holding only text keeps it on its line
// exactly (white space included); an element mixing text and elements is
// written compactly.  Clients must not depend on either layout.
#pragma once

#include <string>

namespace sandbox {

// The indented form of a whole XML document.  A text that is not
// well-formed XML is returned unchanged.
std::string pretty_xml(const std::string &xml);

} // namespace sandbox
