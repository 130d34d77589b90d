// Part files rewritten in place (see part_file.hpp).
#include "mailread/part_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace qvamz::mailread {
namespace {

// Part bodies are written in few large writes.
constexpr std::size_t kPartBufferBytes = 64 * 1024;

struct PartSink {
    int fd = -1;
    off_t position = 0; // where the writer is: the file's length at close
    off_t furthest = 0; // the end of what was written
    off_t old_size = 0; // the length of the file written over
};

ssize_t SinkWrite(void *cookie, const char *data, std::size_t size)
{
    auto *sink = static_cast<PartSink *>(cookie);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t wrote = ::pwrite(sink->fd, data + done, size - done, sink->position);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        done += static_cast<std::size_t>(wrote);
        sink->position += wrote;
    }
    if (sink->position > sink->furthest)
        sink->furthest = sink->position;
    return static_cast<ssize_t>(done);
}

int SinkSeek(void *cookie, off64_t *offset, int whence)
{
    auto *sink = static_cast<PartSink *>(cookie);
    off64_t base = 0;
    switch (whence) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = sink->position; break;
    case SEEK_END: base = sink->furthest; break;
    default: errno = EINVAL; return -1;
    }
    const off64_t target = base + *offset;
    if (target < 0) {
        errno = EINVAL;
        return -1;
    }
    sink->position = static_cast<off_t>(target);
    *offset = target;
    return 0;
}

// The old bytes past the new end go; a failed cut fails the close, so
// that a writer who checks fclose learns of it.
int SinkClose(void *cookie)
{
    const std::unique_ptr<PartSink> sink(static_cast<PartSink *>(cookie));
    // A file that already has its new length is not cut: even a cut to
    // the same length costs an inode update.
    const bool cut = sink->position != std::max(sink->old_size, sink->furthest);
    int result = cut ? ::ftruncate(sink->fd, sink->position) : 0;
    if (::close(sink->fd) != 0)
        result = -1;
    return result;
}

// The file to write at `path`: the file there when this is its only name;
// a new one when it has another name too (a host that kept the previous
// message's part by a link of its own keeps that message's bytes).  The
// name is looked at before anything is opened, so a linked file costs an
// unlink and one create, and a missing one a create only.
int OpenOnlyName(const std::string &path, off_t &size)
{
    size = 0;
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        if (errno != ENOENT)
            return -1;
    } else if (status.st_nlink <= 1 && S_ISREG(status.st_mode)) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0) {
            size = status.st_size;
            return fd;
        }
        if (errno != ENOENT) // gone since: created below
            return -1;
    } else if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return -1;
    }
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}

} // namespace

qvcommon::UniqueFile OpenPartFile(const std::string &path)
{
    off_t old_size = 0;
    const int fd = OpenOnlyName(path, old_size);
    if (fd < 0)
        return nullptr;
    auto sink = std::make_unique<PartSink>();
    sink->fd = fd;
    sink->old_size = old_size;
    const cookie_io_functions_t functions{nullptr, SinkWrite, SinkSeek, SinkClose};
    qvcommon::UniqueFile file(fopencookie(sink.get(), "w", functions));
    if (!file) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return nullptr;
    }
    sink.release(); // the FILE's close frees it
    std::setvbuf(file.get(), nullptr, _IOFBF, kPartBufferBytes);
    return file;
}

} // namespace qvamz::mailread
