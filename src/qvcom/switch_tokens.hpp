// switch_tokens.hpp - splitting the host's switch string into tokens.
#ifndef QVCOM_SWITCH_TOKENS_HPP
#define QVCOM_SWITCH_TOKENS_HPP

#include <string>
#include <string_view>
#include <vector>

namespace qvcom::detail {

// Tokens are separated by ";", blanks, tabs and line ends.  Double quotes
// group text holding separators and are removed; a quote left open runs to
// the end of the string.  Empty tokens between consecutive separators are
// skipped, but an explicitly quoted empty token ("") is kept: it is how a
// host passes an empty value.
std::vector<std::string> split_switch_tokens(std::string_view switches);

} // namespace qvcom::detail

#endif
