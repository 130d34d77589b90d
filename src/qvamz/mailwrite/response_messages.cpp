// Per-item results of EWS answers (see response_messages.hpp).
#include "mailwrite/response_messages.hpp"
#include "common/unique_file.hpp"

#include <cstdio>
#include <memory>

#include "mailwrite/mime_headers.hpp"

namespace qvamz {
namespace {


// The value of attribute `name` in a start tag line, "" when absent.
std::string Attribute(std::string_view line, std::string_view name)
{
    std::string key = " " + std::string(name) + "=\"";
    std::size_t at = line.find(key);
    if (at == std::string_view::npos)
        return {};
    at += key.size();
    return std::string(line.substr(at, line.find('"', at) - at));
}

bool IsStartTag(std::string_view line, std::string_view local_name)
{
    // "<m:Name ...>" or "<m:Name>" with any namespace prefix.
    if (line.empty() || line[0] != '<' || line.size() < 2 || line[1] == '/')
        return false;
    std::size_t colon = line.find(':');
    std::size_t name_at = colon != std::string_view::npos && colon < line.find_first_of(" >")
                              ? colon + 1
                              : 1;
    std::string_view rest = line.substr(name_at);
    return rest.substr(0, local_name.size()) == local_name && rest.size() > local_name.size() &&
           (rest[local_name.size()] == ' ' || rest[local_name.size()] == '>' ||
            rest[local_name.size()] == '/');
}

} // namespace

std::vector<ResponseMessage> ReadResponseMessages(const std::string &answer_path,
                                                  std::string_view element)
{
    std::vector<ResponseMessage> messages;
    qvcommon::UniqueFile in(std::fopen(answer_path.c_str(), "rb"));
    if (!in)
        return messages;
    std::string line;
    std::string *value_for = nullptr; // the field the next text line belongs to
    while (mime::ReadTextLine(in.get(), line)) {
        if (value_for) {
            if (!line.empty() && line[0] != '<')
                *value_for = line;
            value_for = nullptr;
        }
        if (IsStartTag(line, element)) {
            messages.push_back({Attribute(line, "ResponseClass"), {}, {}});
        } else if (!messages.empty() && IsStartTag(line, "ResponseCode")) {
            value_for = &messages.back().response_code;
        } else if (!messages.empty() && IsStartTag(line, "MessageText")) {
            value_for = &messages.back().message_text;
        }
    }
    return messages;
}

} // namespace qvamz
