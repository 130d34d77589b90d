// An owning stdio FILE handle.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace qvamz {

struct FileCloser {
    void operator()(std::FILE *file) const noexcept { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

inline UniqueFile OpenFile(const std::string &path, const char *mode)
{
    return UniqueFile(std::fopen(path.c_str(), mode));
}

} // namespace qvamz
