#include "common/part_folder.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace qvcommon {

PartFolder::PartFolder(std::string_view prefix)
{
    const std::size_t slash = prefix.rfind('/');
    if (slash == std::string_view::npos)
        return;
    dir_ = prefix.substr(0, slash + 1);
    fd_ = ::open(dir_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

PartFolder::~PartFolder()
{
    if (fd_ >= 0)
        ::close(fd_);
}

std::pair<int, const char *> PartFolder::Locate(const std::string &path) const
{
    if (fd_ < 0 || path.size() <= dir_.size() || path.compare(0, dir_.size(), dir_) != 0 ||
        path.find('/', dir_.size()) != std::string::npos)
        return {AT_FDCWD, path.c_str()};
    return {fd_, path.c_str() + dir_.size()};
}

int PartFolder::OpenForReading(const std::string &path) const
{
    const auto [dir, name] = Locate(path);
    return ::openat(dir, name, O_RDONLY | O_CLOEXEC);
}

void PartFolder::Remove(const std::string &path) const
{
    const auto [dir, name] = Locate(path);
    ::unlinkat(dir, name, 0);
}

} // namespace qvcommon
