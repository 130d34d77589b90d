// private_files.cpp - owner-only creation of libqvcom's files and folders.
#include "private_files.hpp"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qvcom::detail {

namespace {

constexpr mode_t kPrivateFile = S_IRUSR | S_IWUSR;
constexpr mode_t kPrivateDir = S_IRWXU;
constexpr mode_t kGroupOrOthers = S_IRWXG | S_IRWXO;

} // namespace

std::FILE *open_private_file(const char *path, const char *mode) {
    if (path == nullptr || mode == nullptr)
        return nullptr;
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
    flags |= mode[0] == 'a' ? O_APPEND : O_TRUNC;
    const int fd = ::open(path, flags, kPrivateFile);
    if (fd < 0)
        return nullptr;
    struct stat status {};
    // An existing file keeps its mode through open(): narrow it here, on the
    // descriptor, so no rename in between can redirect the change.
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
        (status.st_mode & kGroupOrOthers) != 0)
        ::fchmod(fd, kPrivateFile);
    std::FILE *file = ::fdopen(fd, mode);
    if (file == nullptr)
        ::close(fd);
    return file;
}

bool overwrite_file(std::FILE *file, const char *bytes, std::size_t size, bool unchanged) {
    // What libqvcom writes is the owner's only, as with open_private_file.
    struct stat status {};
    if (::fstat(::fileno(file), &status) == 0 && (status.st_mode & kGroupOrOthers) != 0)
        ::fchmod(::fileno(file), kPrivateFile);
    if (unchanged)
        return true;
    std::rewind(file);
    return std::fwrite(bytes, 1, size, file) == size && std::fflush(file) == 0 &&
           ::ftruncate(::fileno(file), static_cast<off_t>(size)) == 0;
}

bool create_private_directories(const std::filesystem::path &dir) {
    std::error_code ec;
    if (dir.empty() || std::filesystem::is_directory(dir, ec))
        return !dir.empty();
    const std::filesystem::path parent = dir.parent_path();
    if (!parent.empty() && parent != dir && !create_private_directories(parent))
        return false;
    if (::mkdir(dir.c_str(), kPrivateDir) != 0)
        return errno == EEXIST && std::filesystem::is_directory(dir, ec);
    // The umask may have taken bits of the owner's own; set the mode exactly.
    return ::chmod(dir.c_str(), kPrivateDir) == 0;
}

bool narrow_to_owner(const std::filesystem::path &file) {
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0 || (status.st_mode & kGroupOrOthers) == 0)
        return false;
    return ::chmod(file.c_str(), status.st_mode & ~kGroupOrOthers & 07777) == 0;
}

} // namespace qvcom::detail
