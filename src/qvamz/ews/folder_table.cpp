#include "ews/folder_table.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "common/text_case.hpp"
#include "frame/session.hpp"
#include "qv/qvcom.h"

namespace qvamz {

bool AddFolderEntry(FolderTable &folders, FolderEntry entry)
{
    if (folders.size() >= kMaxFolders)
        return false;
    folders.push_back(std::move(entry));
    return true;
}

void SortFoldersByDisplayPath(FolderTable &folders)
{
    std::stable_sort(folders.begin(), folders.end(),
                     [](const FolderEntry &a, const FolderEntry &b) {
                         return std::lexicographical_compare(
                             a.display_path.begin(), a.display_path.end(),
                             b.display_path.begin(), b.display_path.end(), [](char x, char y) {
                                 return qvcommon::AsciiLower(x) < qvcommon::AsciiLower(y);
                             });
                     });
}

std::string FolderLine(const FolderEntry &entry)
{
    const std::string suffix = " {QV:" + std::to_string(entry.total_count) +
                               ":FCLASS:" + std::to_string(entry.folder_type) + "}";
    std::string line;
    assign_limited(line, entry.internal_path,
                   kFolderLineMax - std::min(kFolderLineMax, suffix.size()));
    return line + suffix;
}

int GetFolderNamesImpl(Session &session, qv_folder_line_fn callback)
{
    SortFoldersByDisplayPath(session.state.folders);
    if (session.settings.debug)
        com_Log("debug: at GetFolderNames");
    for (const FolderEntry &entry : session.state.folders) {
        std::string line = FolderLine(entry);
        if (callback)
            callback(line.data());
    }
    if (session.settings.debug)
        com_Log("debug: end GetFolderNames");
    return 0;
}

int GetTrueFolderImpl(const FolderTable &folders, int index, char *out)
{
    if (index < 0 || index >= static_cast<int>(folders.size())) {
        if (out)
            out[0] = '\0';
        return static_cast<int>(folders.size());
    }
    if (out) {
        const std::string &path = folders[static_cast<std::size_t>(index)].internal_path;
        const std::size_t length = std::min(path.size(), kFolderPathMax);
        std::memcpy(out, path.data(), length);
        out[length] = '\0';
    }
    return index;
}

} // namespace qvamz
