// archive_files.cpp - hard links, reused scratch files and checked copies
// for the record archive's part files.
#include "archive_files.hpp"

#include "text_codec.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qvmigrate {

namespace fs = std::filesystem;

namespace {

constexpr mode_t kPrivateMode = S_IRUSR | S_IWUSR;

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { close(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

  private:
    int fd_;
};

bool write_all(int fd, const char *data, size_t size) {
    while (size > 0) {
        const ssize_t done = ::write(fd, data, size);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        data += done;
        size -= static_cast<size_t>(done);
    }
    return true;
}

std::string size_problem(const ExpectedFile &expected, std::uint64_t found) {
    return expected.shown + " has " + std::to_string(found) + " bytes, " +
           std::to_string(expected.bytes) + " were recorded (truncated?)";
}

std::string copy_problem(const ExpectedFile &expected, const fs::path &destination,
                         const std::string &why) {
    return expected.shown + " cannot be copied to " + destination.string() + " (" + why + ")";
}

enum class StreamEnd { kDone, kReadFailed, kWriteFailed };

// Reads `in` to its end through `digest` and, when `out` is open, into
// it; `total` counts the bytes.  A short read that completes the `size`
// fstat gave is the end: no further read to hear it.  errno tells why it
// failed.
StreamEnd stream_through(int in, int out, std::uint64_t size, Sha256Digest &digest,
                         std::uint64_t &total) {
    std::array<char, 65536> buffer;
    for (;;) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return StreamEnd::kReadFailed;
        if (got == 0)
            return StreamEnd::kDone;
        total += static_cast<std::uint64_t>(got);
        digest.update(buffer.data(), static_cast<size_t>(got));
        if (out >= 0 && !write_all(out, buffer.data(), static_cast<size_t>(got)))
            return StreamEnd::kWriteFailed;
        if (total == size && static_cast<size_t>(got) < buffer.size())
            return StreamEnd::kDone;
    }
}

// Reads `source` once, through the digest and, when `out` is open, into
// it.  Returns "" or the problem.
std::string stream_checked(const fs::path &source, const ExpectedFile &expected, int out,
                           const fs::path &destination) {
    Descriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (!in || ::fstat(in.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return expected.shown + " is missing";
    if (static_cast<std::uint64_t>(status.st_size) != expected.bytes)
        return size_problem(expected, static_cast<std::uint64_t>(status.st_size));
    Sha256Digest digest;
    std::uint64_t total = 0;
    switch (stream_through(in.get(), out, expected.bytes, digest, total)) {
    case StreamEnd::kReadFailed:
        return expected.shown + " cannot be read (" + std::strerror(errno) + ")";
    case StreamEnd::kWriteFailed:
        return copy_problem(expected, destination, std::strerror(errno));
    case StreamEnd::kDone:
        break;
    }
    if (total != expected.bytes)
        return size_problem(expected, total);
    if (digest.hex() != expected.sha256)
        return expected.shown + " does not match its recorded SHA-256 (damaged)";
    return "";
}

bool hard_link(const fs::path &source, const fs::path &target) {
    return ::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

} // namespace

std::optional<ArchivedFile> archive_file(const std::string &source, const std::string &target) {
    // Non-blocking, so that a FIFO in the working folder is refused below
    // instead of waiting for a writer.
    Descriptor in(::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!in && (errno == ENOENT || errno == ENOTDIR))
        return std::nullopt;
    struct stat status {};
    if (!in || ::fstat(in.get(), &status) != 0)
        throw std::runtime_error("cannot read " + source + " (" + std::strerror(errno) + ")");
    if (!S_ISREG(status.st_mode))
        return std::nullopt;
    // A file that already has a second name (archived before, or held by
    // something else) is copied: no two archived files share their bytes.
    const bool linked = status.st_nlink == 1 && hard_link(source, target);
    Descriptor copy(linked ? -1
                           : ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                                    kPrivateMode));
    if (!linked && !copy)
        throw std::runtime_error("cannot copy " + source + " to " + target + " (" +
                                 std::strerror(errno) + ")");
    // The archived file is the connector's work file (or a copy of it):
    // either way it is made private, unless it already is.
    const bool is_private = linked && (status.st_mode & 07777) == kPrivateMode;
    if (!is_private && ::fchmod(linked ? in.get() : copy.get(), kPrivateMode) != 0)
        throw std::runtime_error("cannot set the mode of " + target + ": " + std::strerror(errno));
    Sha256Digest digest;
    ArchivedFile archived;
    const StreamEnd end = stream_through(in.get(), copy.get(),
                                         static_cast<std::uint64_t>(status.st_size), digest,
                                         archived.bytes);
    if (end == StreamEnd::kWriteFailed || (copy && !copy.close()))
        throw std::runtime_error("cannot copy " + source + " to " + target + " (" +
                                 std::strerror(errno) + ")");
    archived.sha256 = digest.hex();
    if (end != StreamEnd::kDone || archived.sha256.empty())
        throw std::runtime_error("cannot read back");
    return archived;
}

std::string place_checked_copy(const fs::path &source, const ExpectedFile &expected,
                               const fs::path &destination) {
    fs::path slot = destination;
    slot += ".slot";
    ::unlink(destination.c_str()); // left by an item the connector did not clear
    Descriptor out(::open(slot.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, kPrivateMode));
    if (!out)
        return copy_problem(expected, destination, std::strerror(errno));
    if (::fchmod(out.get(), kPrivateMode) != 0)
        return expected.shown + " cannot be made private in " + destination.string();
    const std::string problem = stream_checked(source, expected, out.get(), destination);
    if (!problem.empty())
        return problem;
    // Overwritten from the start and cut to length afterwards, never
    // emptied first: ext4 writes a file that was emptied out to disk as
    // soon as it is closed.
    if (::ftruncate(out.get(), static_cast<off_t>(expected.bytes)) != 0 || !out.close())
        return copy_problem(expected, destination, std::strerror(errno));
    if (hard_link(slot, destination))
        return "";
    std::error_code error;
    if (!fs::copy_file(slot, destination, fs::copy_options::overwrite_existing, error))
        return copy_problem(expected, destination, error.message());
    if (::chmod(destination.c_str(), kPrivateMode) != 0)
        return expected.shown + " cannot be made private in " + destination.string();
    return "";
}

std::string place_checked_move(const fs::path &source, const ExpectedFile &expected,
                               const fs::path &destination) {
    const std::string problem = check_archived_file(source, expected);
    if (!problem.empty())
        return problem;
    // rename() replaces a file an earlier item left at `destination`.
    if (::rename(source.c_str(), destination.c_str()) == 0)
        return "";
    return place_checked_copy(source, expected, destination);
}

std::string check_archived_file(const fs::path &source, const ExpectedFile &expected) {
    return stream_checked(source, expected, -1, {});
}

} // namespace qvmigrate
