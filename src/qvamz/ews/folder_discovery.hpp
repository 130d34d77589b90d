// Folder discovery: pages of FindFolder (500 folders each) below the
// session's root folder, collected into one file and parsed into the folder
// table, each folder getting its path from the chain of parent links.
#pragma once

#include <string>
#include <string_view>

#include "ews/folder_table.hpp"

namespace qvamz {

struct Session;

inline constexpr int kFindFolderPage = 500;
// A server that never says "last page" and keeps sending folders is not
// followed past this many entries.
inline constexpr int kFindFolderOffsetMax = 100000;

enum class DiscoveryResult { Success, TransportFailure, FileFailure, ErrorAnswer };

// Runs discovery into `folders` (Logon, after GetFolder).
DiscoveryResult DiscoverFolders(Session &session, FolderTable &folders);

// The body of one FindFolder page.
std::string FindFolderBody(int offset, std::string_view root_folder_name);

// What one FindFolder answer says about paging.
struct FindFolderPage {
    bool last_page = false;  // RootFolder carries IncludesLastItemInRange="true"
    bool error = false;      // FindFolderResponseMessage ResponseClass="Error"
    int folder_count = 0;    // folder elements listed
};
// False when the answer file cannot be opened.
bool ScanFindFolderPage(const std::string &path, FindFolderPage &page);

// Fills `folders` from the collected answers (a source session leaves out
// the housekeeping folders); 1 when the file cannot be opened, else 0.
int ParseFolders(const std::string &path, bool is_source, const std::string &root_folder_id,
                 FolderTable &folders);

// Gives every folder reachable from `parent_id` its internal and display
// path.  Each entry is visited once, so parent links that form a cycle end
// the walk; a path that would pass kFolderPathMax is not given.
void BuildFolderPaths(FolderTable &folders, const std::string &parent_id, const std::string &path);

// Folders a source session does not list (client and sync housekeeping).
bool IsSkippedSourceFolder(std::string_view display_name);

// The folder type of an EWS FolderClass; `current` for other classes.
int FolderTypeForClass(std::string_view folder_class, int current);

} // namespace qvamz
