// switch_tokens.cpp - the switch string tokenizer behind com_GetParm.
#include "switch_tokens.hpp"

namespace qvcom::detail {

namespace {

bool is_separator(char c) {
    return c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace

std::vector<std::string> split_switch_tokens(std::string_view switches) {
    std::vector<std::string> tokens;
    std::string current;
    bool in_token = false; // something (text or a quote pair) was seen
    bool quoted = false;
    for (const char c : switches) {
        if (c == '"') {
            quoted = !quoted;
            in_token = true;
        } else if (!quoted && is_separator(c)) {
            if (in_token) {
                tokens.push_back(std::move(current));
                current.clear();
                in_token = false;
            }
        } else {
            current.push_back(c);
            in_token = true;
        }
    }
    if (in_token) {
        tokens.push_back(std::move(current));
    }
    return tokens;
}

} // namespace qvcom::detail
