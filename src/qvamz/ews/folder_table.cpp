#include "ews/folder_table.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "frame/session.hpp"
#include "qv/qvcom.h"

namespace qvamz {

std::vector<FolderEntry> gFolders;

bool AddFolderEntry(FolderEntry entry)
{
    if (gFolders.size() >= kMaxFolders)
        return false;
    gFolders.push_back(std::move(entry));
    return true;
}

void ClearFolderTable()
{
    gFolders.clear();
    gFolders.shrink_to_fit();
}

void SortFoldersByDisplayPath()
{
    std::stable_sort(gFolders.begin(), gFolders.end(),
                     [](const FolderEntry &a, const FolderEntry &b) {
                         return std::lexicographical_compare(
                             a.display_path.begin(), a.display_path.end(),
                             b.display_path.begin(), b.display_path.end(), [](char x, char y) {
                                 return std::tolower(static_cast<unsigned char>(x)) <
                                        std::tolower(static_cast<unsigned char>(y));
                             });
                     });
}

std::string FolderLine(const FolderEntry &entry)
{
    const std::string suffix = " {QV:" + std::to_string(entry.total_count) +
                               ":FCLASS:" + std::to_string(entry.folder_type) + "}";
    std::string line;
    assign_limited(line, entry.internal_path, kFolderLineMax - std::min(kFolderLineMax, suffix.size()));
    return line + suffix;
}

int GetFolderNamesImpl(void *, qv_folder_line_fn callback)
{
    SortFoldersByDisplayPath();
    if (gSw.debug)
        com_Log("debug: at GetFolderNames");
    for (const FolderEntry &entry : gFolders) {
        std::string line = FolderLine(entry);
        if (callback)
            callback(line.data());
    }
    if (gSw.debug)
        com_Log("debug: end GetFolderNames");
    return 0;
}

int GetTrueFolderImpl(int index, char *out)
{
    if (index < 0 || index >= gFolderCount()) {
        if (out)
            out[0] = '\0';
        return gFolderCount();
    }
    if (out) {
        const std::string &path = gFolders[static_cast<std::size_t>(index)].internal_path;
        const std::size_t length = std::min(path.size(), kFolderPathMax);
        std::memcpy(out, path.data(), length);
        out[length] = '\0';
    }
    return index;
}

} // namespace qvamz
