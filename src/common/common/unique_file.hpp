// The owning stdio FILE handle: closed when it goes out of scope.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace qvcommon {

struct FileCloser {
    void operator()(std::FILE *file) const noexcept { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

inline UniqueFile OpenFile(const char *path, const char *mode)
{
    return UniqueFile(std::fopen(path, mode));
}

inline UniqueFile OpenFile(const std::string &path, const char *mode)
{
    return OpenFile(path.c_str(), mode);
}

// The rest of FILE, or the whole file at PATH, into TEXT.  False when the
// file cannot be opened or a read fails (TEXT then holds what was read).
bool ReadWholeFile(std::FILE *file, std::string &text);
bool ReadWholeFile(const std::string &path, std::string &text);

} // namespace qvcommon
