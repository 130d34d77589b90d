// folder_list.cpp - folder lines and folder selection.
#include "folder_list.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "record_archive.hpp"

namespace qvmigrate {

namespace {

constexpr std::string_view kLineMarker = " {QV:";
constexpr std::string_view kClassMarker = ":FCLASS:";

std::optional<int> parse_int(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trimmed_selection(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    while (!path.empty() && path.front() == '/')
        path.erase(path.begin());
    return path;
}

} // namespace

std::optional<FolderEntry> parse_folder_line(const std::string &line, int index) {
    const size_t marker = line.rfind(kLineMarker);
    if (marker == std::string::npos || line.back() != '}')
        return std::nullopt;
    const std::string_view tail =
        std::string_view(line).substr(marker + kLineMarker.size(),
                                      line.size() - marker - kLineMarker.size() - 1);
    const size_t class_at = tail.find(kClassMarker);
    if (class_at == std::string_view::npos)
        return std::nullopt;
    const auto count = parse_int(tail.substr(0, class_at));
    const auto type = parse_int(tail.substr(class_at + kClassMarker.size()));
    if (!count || !type)
        return std::nullopt;
    FolderEntry entry;
    entry.index = index;
    entry.internal_path = line.substr(0, marker);
    entry.display_path = entry.internal_path;
    std::replace(entry.display_path.begin(), entry.display_path.end(), '^', '/');
    entry.count = *count;
    entry.folder_type = *type;
    return entry;
}

std::optional<int> kind_filter_from_name(const std::string &name) {
    if (name == "all")
        return kAllKinds;
    const int type = folder_type_from_name(name);
    return type >= 0 ? std::optional<int>(type) : std::nullopt;
}

bool path_is_at_or_below(const std::string &path, const std::string &selection) {
    const std::string wanted = lower(trimmed_selection(selection));
    const std::string have = lower(path);
    if (wanted.empty())
        return true;
    return have == wanted || (have.size() > wanted.size() && have.starts_with(wanted) &&
                              have[wanted.size()] == '/');
}

std::vector<FolderEntry> select_folders(const std::vector<FolderEntry> &folders,
                                        const std::vector<std::string> &selections,
                                        int kind_filter, std::vector<std::string> &unmatched) {
    std::vector<FolderEntry> chosen;
    std::vector<bool> used(selections.size(), false);
    for (const FolderEntry &folder : folders) {
        bool wanted = selections.empty();
        for (size_t i = 0; i < selections.size(); ++i) {
            if (path_is_at_or_below(folder.display_path, selections[i])) {
                wanted = true;
                used[i] = true;
            }
        }
        if (wanted && (kind_filter == kAllKinds || folder.folder_type == kind_filter))
            chosen.push_back(folder);
    }
    for (size_t i = 0; i < selections.size(); ++i) {
        if (!used[i])
            unmatched.push_back(selections[i]);
    }
    return chosen;
}

} // namespace qvmigrate
