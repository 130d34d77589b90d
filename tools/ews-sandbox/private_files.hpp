// Files of the sandbox's data folder hold password hashes, role secrets,
// tokens, keys and mail: only the owner may read them, whatever the umask
// of whoever started the sandbox.  Folders are 0700, files 0600.
#pragma once

#include <filesystem>
#include <string_view>

namespace sandbox {

// Creates the folder (and missing parents) with mode 0700 and takes group
// and other access away from it when it exists already.  Throws
// std::filesystem::filesystem_error when that fails.
void ensure_private_dir(const std::filesystem::path &dir);

// Writes `data` to a 0600 file beside `path` and renames it over `path`, so
// a reader never sees half a file.  Throws std::runtime_error.
void write_private_file(const std::filesystem::path &path, std::string_view data);

// Makes `path` an existing 0600 file (empty when it was missing) before a
// library such as SQLite opens it; SQLite gives its -wal and -shm files the
// mode of the database file.  Existing companions are tightened as well.
void prepare_private_file(const std::filesystem::path &path);

} // namespace sandbox
