// The checked-in list of differences a copy shows today: one line per
// corpus message that is not copied faithfully, its path below the corpus
// folder and then its kinds.  Every fix must shrink it: a kind not listed
// fails the test, and so does a listed kind that no longer shows.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace difftest {

using KindsByMessage = std::map<std::string, std::set<std::string>>;

// Throws std::runtime_error naming the line that cannot be read.
KindsByMessage parse_expectations(const std::string &text);

// The file form of `found` (faithful messages are left out), with a header
// comment saying how the file is used.
std::string format_expectations(const KindsByMessage &found);

// What disagrees between the list and what was found, one sentence each;
// `corpus` is every message that was compared.
std::vector<std::string> check_expectations(const KindsByMessage &expected, const KindsByMessage &found,
                                            const std::set<std::string> &corpus);

} // namespace difftest
