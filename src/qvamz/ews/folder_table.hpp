// The folder table: every folder below the session's root folder, filled
// by folder discovery at logon (folder_discovery.hpp), sorted by
// GetFolderNames, read by index by ConvertFolder and GetTrueFolder, and
// grown by the target folder step when it creates folders.  Emptied by
// Logon and Logoff.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "qv/qvamz.h"

namespace qvamz {

inline constexpr std::size_t kMaxFolders = 15000;
inline constexpr std::size_t kFolderNameMax = 1023; // display name
inline constexpr std::size_t kFolderPathMax = 1023; // internal and display path
inline constexpr std::size_t kFolderIdMax = 500;    // folder id, parent id
inline constexpr std::size_t kFolderLineMax = 1023; // one line given to the host

enum FolderType : int {
    kFolderTypeMail = 0,
    kFolderTypeContacts = 1,
    kFolderTypeCalendar = 2,
    kFolderTypeTasks = 3,
};

struct FolderEntry {
    int total_count = 0;         // TotalCount: items in the folder
    int child_count = 0;         // ChildFolderCount
    std::string display_name{};  // entities undone
    std::string internal_path{}; // names from the root joined by "^"
    std::string display_path{};  // the same joined by "/"
    int folder_type = kFolderTypeMail;
    std::string folder_id{};
    std::string parent_id{};
};

// The session's folders (SessionState::folders): discovery order until
// GetFolderNames sorts it; indices refer to the sorted order from then on.
using FolderTable = std::vector<FolderEntry>;

struct Session;

// Adds an entry; false when the table already holds kMaxFolders.
bool AddFolderEntry(FolderTable &folders, FolderEntry entry);

// Stable sort by display path, ignoring ASCII letter case.
void SortFoldersByDisplayPath(FolderTable &folders);

// "%s {QV:%d:FCLASS:%d}": internal path, item count, folder type (at most
// kFolderLineMax bytes).
std::string FolderLine(const FolderEntry &entry);

// The exports' work: sorts the table and calls `callback` once per entry;
// always 0.
int GetFolderNamesImpl(Session &session, qv_folder_line_fn callback);

// Copies the internal path of entry `index` into `out` (1024 bytes) and
// returns the index; out of range: `out` empty and the folder count.
int GetTrueFolderImpl(const FolderTable &folders, int index, char *out);

} // namespace qvamz
