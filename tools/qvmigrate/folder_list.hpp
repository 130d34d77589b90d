// folder_list.hpp - the folder list as the connector reports it
// ("%s {QV:%d:FCLASS:%d}" lines from GetFolderNames) and the selection of
// folders by display path ("Inbox/Projects" selects that folder and every
// folder below it) and kind.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qvmigrate {

struct FolderEntry {
    int index = 0;             // position in the sorted folder table
    std::string internal_path; // "^" between levels
    std::string display_path;  // "/" between levels
    int count = 0;
    int folder_type = 0; // 0 mail, 1 contacts, 2 calendar, 3 tasks
};

// Nothing for a line that is not of the folder line form.
std::optional<FolderEntry> parse_folder_line(const std::string &line, int index);

// Kind filter values: -1 every kind, else a folder type.
inline constexpr int kAllKinds = -1;
// "mail", "contacts", "calendar", "tasks", "all"; nothing for others.
std::optional<int> kind_filter_from_name(const std::string &name);

// Folders whose display path equals a selection or lies below it (compared
// without ASCII case, trailing "/" ignored), of the wanted kind.  With no
// selections every folder is taken.  `unmatched` receives the selections
// that matched no folder at all.
std::vector<FolderEntry> select_folders(const std::vector<FolderEntry> &folders,
                                        const std::vector<std::string> &selections,
                                        int kind_filter, std::vector<std::string> &unmatched);

// Is `path` the folder `selection` or below it?
bool path_is_at_or_below(const std::string &path, const std::string &selection);

} // namespace qvmigrate
