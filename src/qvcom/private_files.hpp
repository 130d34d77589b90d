// private_files.hpp - files and folders libqvcom creates hold mail, the
// host log or the duplicate store: only their owner may read them,
// whatever the umask of the host process.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

namespace qvcom::detail {

// fopen() for a file that is created 0600; an existing file that group or
// others could read is narrowed to 0600 as well.  `mode` is "a", "w" or
// "wb" (append or truncate; writing only).
std::FILE *open_private_file(const char *path, const char *mode);

// Replaces the whole content of a file open for update ("r+b") with
// `size` bytes, narrowed to its owner like open_private_file; false when
// it cannot be written.  `unchanged`: the file already holds exactly these
// bytes, so only its mode is narrowed.
bool overwrite_file(std::FILE *file, const char *bytes, std::size_t size, bool unchanged = false);

// create_directories() whose new folders are 0700.  Existing folders are
// left as they are: they may be shared ones such as /tmp.
bool create_private_directories(const std::filesystem::path &dir);

// Narrows an existing file to 0600 when group or others have any access;
// true when it was changed.
bool narrow_to_owner(const std::filesystem::path &file);

} // namespace qvcom::detail
