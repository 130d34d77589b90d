// private_files.cpp - owner-only folders and files, secret file checks.
#include "private_files.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qvmigrate {

namespace fs = std::filesystem;

namespace {

constexpr mode_t kPrivateDir = S_IRWXU;
constexpr mode_t kPrivateFile = S_IRUSR | S_IWUSR;
constexpr mode_t kGroupOrOthers = S_IRWXG | S_IRWXO;

std::string octal(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777);
    return text;
}

std::string system_error_text() {
    return std::strerror(errno);
}

// mkdir for `dir` and every missing parent, each made 0700.
void create_missing(const fs::path &dir, const std::string &what) {
    std::error_code error;
    if (fs::is_directory(dir, error))
        return;
    const fs::path parent = dir.parent_path();
    if (!parent.empty() && parent != dir)
        create_missing(parent, what);
    if (::mkdir(dir.c_str(), kPrivateDir) != 0) {
        if (errno == EEXIST && fs::is_directory(dir, error))
            return;
        throw std::runtime_error("cannot create the " + what + " " + dir.string() + ": " +
                                 system_error_text());
    }
    // The umask may have taken bits of the owner's own: set the mode exactly.
    if (::chmod(dir.c_str(), kPrivateDir) != 0)
        throw std::runtime_error("cannot set the mode of " + dir.string() + ": " +
                                 system_error_text());
}

} // namespace

std::string make_private_dir(const fs::path &dir, const std::string &what) {
    struct stat before {};
    const bool existed = ::stat(dir.c_str(), &before) == 0;
    if (existed && !S_ISDIR(before.st_mode))
        throw std::runtime_error("the " + what + " " + dir.string() + " is not a folder");
    if (!existed) {
        create_missing(dir.lexically_normal(), what);
        return "";
    }
    if ((before.st_mode & kGroupOrOthers) == 0)
        return "";
    const std::string was = octal(before.st_mode);
    if (::chmod(dir.c_str(), kPrivateDir) != 0)
        return "the " + what + " " + dir.string() + " is open to other users (mode " + was +
               ") and cannot be narrowed: " + system_error_text();
    return "the " + what + " " + dir.string() + " was open to other users (mode " + was +
           "); narrowed to 0700";
}

void make_private_file(const fs::path &file) {
    if (::chmod(file.c_str(), kPrivateFile) != 0)
        throw std::runtime_error("cannot set the mode of " + file.string() + ": " +
                                 system_error_text());
}

void write_private_file(const fs::path &path, const std::string &text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kPrivateFile);
    if (fd < 0)
        throw std::runtime_error("cannot write " + path.string() + ": " + system_error_text());
    // A file left by an earlier run keeps its mode through open().
    bool ok = ::fchmod(fd, kPrivateFile) == 0;
    size_t done = 0;
    while (ok && done < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        ok = wrote > 0;
        done += ok ? static_cast<size_t>(wrote) : 0;
    }
    ok = ::close(fd) == 0 && ok;
    if (!ok)
        throw std::runtime_error("cannot write " + path.string());
}

std::string secret_file_problem(const fs::path &path, unsigned mode, unsigned owner, unsigned me) {
    if (owner != me && owner != 0)
        return path.string() + " belongs to another user; a secret file must be your own";
    if ((mode & kGroupOrOthers) != 0)
        return path.string() + " can be read by other users (mode " + octal(mode) +
               "); a secret file must be private: chmod 600 " + path.string();
    return "";
}

void harden_process() {
    ::umask(S_IRWXG | S_IRWXO);
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

} // namespace qvmigrate
