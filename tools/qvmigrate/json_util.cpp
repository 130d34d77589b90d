// json_util.cpp - parsing, printing and whole-file helpers.
#include "json_util.hpp"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "private_files.hpp"

namespace qvmigrate {

JsonParse parse_json(const std::string &text) {
    JsonParse result;
    const char *end = nullptr;
    result.root.reset(cJSON_ParseWithLengthOpts(text.c_str(), text.size() + 1, &end, 1));
    if (!result.root) {
        const size_t offset = end != nullptr && end >= text.c_str() ? static_cast<size_t>(end - text.c_str()) : 0;
        result.error = "not valid JSON near byte " + std::to_string(offset);
    }
    return result;
}

std::string print_json_line(const cJSON *json) {
    std::unique_ptr<char, decltype(&cJSON_free)> printed(cJSON_PrintUnformatted(json), &cJSON_free);
    if (!printed)
        throw std::runtime_error("out of memory while printing JSON");
    return printed.get();
}

std::string print_json(const cJSON *json) {
    std::unique_ptr<char, decltype(&cJSON_free)> printed(cJSON_Print(json), &cJSON_free);
    if (!printed)
        throw std::runtime_error("out of memory while printing JSON");
    const std::string_view text(printed.get());
    // cJSON indents with tabs; two blanks read better in a terminal.  The
    // text between tabs is copied a run at a time.
    std::string out;
    out.reserve(text.size() + text.size() / 4);
    size_t from = 0;
    for (size_t tab; (tab = text.find('\t', from)) != std::string_view::npos; from = tab + 1) {
        out.append(text, from, tab - from);
        out += tab > 0 && text[tab - 1] == ':' ? " " : "  ";
    }
    out.append(text, from);
    out += '\n';
    return out;
}

std::optional<std::string> read_text_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad())
        return std::nullopt;
    return buffer.str();
}

void write_file_atomically(const std::filesystem::path &path, const std::string &text) {
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    write_private_file(temporary, text);
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) {
        std::filesystem::remove(temporary, error);
        throw std::runtime_error("cannot write " + path.string());
    }
}

} // namespace qvmigrate
