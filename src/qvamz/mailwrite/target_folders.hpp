// Target folders: InitWrite finds the folder that the host's items go to,
// creating it and any missing parents with CreateFolder, and leaves its id
// as the target folder id that every writer puts into its requests;
// CloseWrite ends the folder.  Folder paths use "^" between levels; known
// folders come from the folder table that Logon filled, and every folder
// created here is added to it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "qv/record.h"

namespace qvamz {

inline constexpr std::size_t kCreateFolderAnswerLineMax = 2000;

inline constexpr std::string_view kMailFolderClass = "IPF.Note";
inline constexpr std::string_view kContactFolderClass = "IPF.Contact";
inline constexpr std::string_view kCalendarFolderClass = "IPF.Appointment";
inline constexpr std::string_view kTaskFolderClass = "IPF.Task";

struct Session;

// The session keeps the target: SessionState::target_folder_id (empty: no
// target) and sticky_note_mode (mail written to the notes folder, exact
// match, is stored as sticky notes).

// The InitWrite export's work: 0 when a target folder is set, else 1 (with
// "QV Warning: cannot create folder").  A message bundle still pending
// from the previous folder is sent first: it was built for that folder.
int InitWriteImpl(Session &session, qv_message *msg, const char *folder_name, int folder_kind);

// The CloseWrite export's work: with keep == 0 a pending message bundle is
// sent.  Always 0.
int CloseWriteImpl(Session &session, int keep);

// Sets the target folder id for `path`, first with `levels_to_suppress`
// leading levels removed and under the record's group folder (unless it is
// "root"), creating missing levels top-down below the deepest one that
// exists.  When a level cannot be created the target stays empty.  `msg`
// may be null.
void SearchCreateFolder(Session &session, const qv_message *msg, std::string path,
                        int levels_to_suppress, std::string_view folder_class);

// Creates the first level of `remaining_path` under the target folder (the
// root folder when there is none) and makes it the target.  When the
// server answers ErrorFolderExists, the existing folder of that name is
// looked up (FindFolder) and taken.  On success `parent_path` is extended
// by the new level, the folder is added to the folder table and the answer
// is 1; on failure the target and `parent_path` keep their values and the
// answer is 0.
int CreateFolder(Session &session, std::string &parent_path, std::string_view remaining_path,
                 std::string_view folder_class);

// 1 and the target folder id set when the folder table holds `path`
// (compared without letter case), else 0.
int FindFolderInTable(Session &session, std::string_view path);

} // namespace qvamz
