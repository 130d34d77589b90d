// batch_plan.cpp - reading the batch plan.
#include "batch_plan.hpp"

#include <algorithm>
#include <cctype>
#include <set>

#include "auth_options.hpp"
#include "json_util.hpp"
#include "text_codec.hpp"

namespace qvmigrate {

namespace {

constexpr qv_filetime kTicksPerDay = 864'000'000'000ULL;
constexpr size_t kMaxAddress = 250; // what the connector keeps of a mailbox name

std::string trim(const std::string &text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool plausible_address(const std::string &address) {
    const auto at = address.find('@');
    if (address.empty() || address.size() > kMaxAddress || at == 0 || at == std::string::npos ||
        at + 1 == address.size() || address.find('@', at + 1) != std::string::npos)
        return false;
    return std::none_of(address.begin(), address.end(), [](unsigned char c) {
        return c <= ' ' || c == 0x7f || c == ',' || c == ';' || c == '"' || c == '|';
    });
}

std::vector<std::string> split_folders(const std::string &field) {
    std::vector<std::string> folders;
    size_t start = 0;
    while (start <= field.size()) {
        size_t end = field.find('|', start);
        if (end == std::string::npos)
            end = field.size();
        const std::string folder = trim(field.substr(start, end - start));
        if (!folder.empty())
            folders.push_back(folder);
        start = end + 1;
    }
    return folders;
}

// The text without a UTF-8 byte order mark, which spreadsheets write.
std::string without_bom(const std::string &text) {
    return text.starts_with("\xEF\xBB\xBF") ? text.substr(3) : text;
}

} // namespace

std::optional<std::vector<std::string>> split_csv_line(const std::string &line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                fields.back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    if (quoted)
        return std::nullopt;
    return fields;
}

std::vector<PlanLine> parse_plan(const std::string &text, const std::string &file_name) {
    std::vector<PlanLine> plan;
    std::set<std::pair<std::string, std::string>> seen;
    std::set<std::string> targets;
    size_t fields_wanted = 0;
    int number = 0;
    size_t start = 0;
    const std::string body = without_bom(text);
    while (start < body.size()) {
        size_t end = body.find('\n', start);
        if (end == std::string::npos)
            end = body.size();
        const std::string line = body.substr(start, end - start);
        start = end + 1;
        ++number;
        const std::string where = file_name + " line " + std::to_string(number) + ": ";
        if (trim(line).empty())
            continue;
        const auto fields = split_csv_line(line);
        if (!fields)
            throw UsageError(where + "a quote is not closed");
        if (fields_wanted == 0) {
            std::vector<std::string> header;
            for (const std::string &field : *fields)
                header.push_back(lower(trim(field)));
            if (header != std::vector<std::string>{"source", "target"} &&
                header != std::vector<std::string>{"source", "target", "folders"})
                throw UsageError(where + "the header must be \"source,target\" or "
                                         "\"source,target,folders\"");
            fields_wanted = header.size();
            continue;
        }
        if (fields->size() != fields_wanted)
            throw UsageError(where + "expected " + std::to_string(fields_wanted) +
                             " fields, found " + std::to_string(fields->size()));
        PlanLine entry;
        entry.line_number = number;
        entry.source = trim((*fields)[0]);
        entry.target = trim((*fields)[1]);
        if (fields_wanted == 3)
            entry.folders = split_folders((*fields)[2]);
        for (const std::string *address : {&entry.source, &entry.target}) {
            if (!plausible_address(*address))
                throw UsageError(where + "\"" + *address + "\" is not a mailbox address");
        }
        if (!seen.insert({lower(entry.source), lower(entry.target)}).second)
            throw UsageError(where + entry.source + " to " + entry.target + " is planned twice");
        if (!targets.insert(lower(entry.target)).second)
            throw UsageError(where + "the target " + entry.target +
                             " already receives another mailbox of the plan");
        plan.push_back(std::move(entry));
    }
    if (fields_wanted == 0)
        throw UsageError(file_name + ": the plan is empty (header \"source,target\" expected)");
    if (plan.empty())
        throw UsageError(file_name + ": the plan has no mailbox line");
    return plan;
}

std::vector<PlanLine> read_plan(const std::filesystem::path &file) {
    const auto text = read_text_file(file);
    if (!text)
        throw UsageError("cannot read the plan " + file.string());
    return parse_plan(*text, file.string());
}

qv_filetime parse_deadline(const std::string &value) {
    const auto date = iso_to_filetime(value);
    if (!date)
        throw UsageError("--deadline " + value + ": expected YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ");
    return value.size() == 10 ? *date + kTicksPerDay - 1 : *date;
}

std::string pair_file_name(const PlanLine &line) {
    std::string name = lower(line.source) + "--" + lower(line.target);
    for (char &c : name) {
        const bool safe = std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '@' ||
                          c == '.' || c == '_' || c == '-';
        if (!safe)
            c = '_';
    }
    return name;
}

} // namespace qvmigrate
