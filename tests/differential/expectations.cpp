// Reading, writing and checking the list of known differences.
#include "expectations.hpp"

#include <sstream>
#include <stdexcept>

namespace difftest {

KindsByMessage parse_expectations(const std::string &text) {
    KindsByMessage expected;
    std::istringstream in(text);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream words(line);
        std::string message, kind;
        words >> message;
        std::set<std::string> kinds;
        while (words >> kind)
            kinds.insert(kind);
        if (kinds.empty())
            throw std::runtime_error("line " + std::to_string(number) + " names no kind: " + line);
        if (!expected.emplace(message, std::move(kinds)).second)
            throw std::runtime_error("line " + std::to_string(number) + " repeats " + message);
    }
    return expected;
}

std::string format_expectations(const KindsByMessage &found) {
    std::string out =
        "# Differences that copying each corpus message shows today (differential_tests).\n"
        "# A message, its path below tests/data/corpus, then the kinds of its differences;\n"
        "# messages copied faithfully are not listed.  A kind that is not listed fails the\n"
        "# test, and so does a listed kind that has gone: remove it with the fix.\n";
    for (const auto &[message, kinds] : found) {
        if (kinds.empty())
            continue;
        out += message;
        for (const std::string &kind : kinds)
            out += " " + kind;
        out += "\n";
    }
    return out;
}

std::vector<std::string> check_expectations(const KindsByMessage &expected, const KindsByMessage &found,
                                            const std::set<std::string> &corpus) {
    std::vector<std::string> problems;
    static const std::set<std::string> none;
    for (const std::string &message : corpus) {
        const auto listed = expected.find(message);
        const auto seen = found.find(message);
        const std::set<std::string> &want = listed == expected.end() ? none : listed->second;
        const std::set<std::string> &got = seen == found.end() ? none : seen->second;
        for (const std::string &kind : got)
            if (!want.count(kind))
                problems.push_back(message + ": new difference of kind " + kind);
        for (const std::string &kind : want)
            if (!got.count(kind))
                problems.push_back(message + ": listed difference of kind " + kind +
                                   " is gone; remove it from the list");
    }
    for (const auto &[message, kinds] : expected)
        if (!corpus.count(message))
            problems.push_back(message + " is listed but is not in the corpus");
    return problems;
}

} // namespace difftest
