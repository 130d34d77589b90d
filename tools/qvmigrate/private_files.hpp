// private_files.hpp - the record archive, the stage, the state folder and
// the log hold a mailbox's whole mail; the secret files hold the keys to
// it.  Folders qvmigrate makes are 0700 and files 0600 whatever the umask,
// and a secret file that others can read is refused.
#pragma once

#include <filesystem>
#include <string>

namespace qvmigrate {

// Creates `dir` and its missing parents, each 0700.  A `dir` that already
// exists with access for group or others is narrowed to 0700; the return
// value then says so (for a "QV Warning:" line), else it is empty.  Throws
// std::runtime_error when the folder cannot be made.
std::string make_private_dir(const std::filesystem::path &dir, const std::string &what);

// Sets a file qvmigrate wrote (or copied) to 0600.  Throws
// std::runtime_error when it cannot.
void make_private_file(const std::filesystem::path &file);

// Writes `text` into a new or truncated file that is 0600 from its
// creation on.  Throws std::runtime_error.
void write_private_file(const std::filesystem::path &path, const std::string &text);

// Why a file with this mode and owner must not hold a secret ("" when it
// may): group or others have access, or another user owns it.
std::string secret_file_problem(const std::filesystem::path &path, unsigned mode, unsigned owner,
                                unsigned me);

// For the whole run: files and folders that anything in the process
// creates are the owner's (umask 077), and no core dump or ptrace attach
// by the same user can read the secrets the process holds.
void harden_process();

} // namespace qvmigrate
