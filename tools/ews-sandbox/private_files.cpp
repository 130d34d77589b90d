#include "private_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace sandbox {
namespace fs = std::filesystem;
namespace {

constexpr mode_t kFileMode = 0600;
constexpr mode_t kDirMode = 0700;

[[noreturn]] void fail(const std::string &what, const fs::path &path) {
    throw std::runtime_error(what + " " + path.string() + ": " + std::strerror(errno));
}

// The descriptor of a file opened for writing with mode 0600; an existing
// file keeps its content but loses any wider mode.
class PrivateFd {
  public:
    PrivateFd(const fs::path &path, int flags)
        : fd_(::open(path.c_str(), flags | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kFileMode)) {
        if (fd_ < 0)
            fail("cannot create", path);
        if (::fchmod(fd_, kFileMode) != 0) {
            const int saved = errno;
            ::close(fd_);
            errno = saved;
            fail("cannot restrict", path);
        }
    }
    ~PrivateFd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    PrivateFd(const PrivateFd &) = delete;
    PrivateFd &operator=(const PrivateFd &) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

} // namespace

void ensure_private_dir(const fs::path &dir) {
    fs::path built;
    for (const auto &part : dir) {
        built /= part;
        if (::mkdir(built.c_str(), kDirMode) != 0 && errno != EEXIST)
            throw fs::filesystem_error("cannot create folder", built,
                                       std::error_code(errno, std::generic_category()));
    }
    const auto perms = fs::status(dir).permissions();
    if ((perms & (fs::perms::group_all | fs::perms::others_all)) != fs::perms::none)
        fs::permissions(dir, fs::perms::group_all | fs::perms::others_all, fs::perm_options::remove);
}

void write_private_file(const fs::path &path, std::string_view data) {
    const fs::path tmp = path.string() + ".tmp";
    PrivateFd fd(tmp, O_WRONLY | O_TRUNC);
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t n = ::write(fd.get(), data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail("cannot write", tmp);
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd.release()) != 0)
        fail("cannot write", tmp);
    fs::rename(tmp, path);
}

void prepare_private_file(const fs::path &path) {
    PrivateFd created(path, O_RDWR);
    for (const char *suffix : {"-wal", "-shm", "-journal"}) {
        const fs::path companion = path.string() + suffix;
        if (::chmod(companion.c_str(), kFileMode) != 0 && errno != ENOENT)
            fail("cannot restrict", companion);
    }
}

} // namespace sandbox
