// Part files read whole (see part_content.hpp).
#include "mailwrite/part_content.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qvamz::mime {
namespace {

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

} // namespace

PartLoad LoadPartFile(const std::string &path, std::string &bytes, std::size_t max,
                      const PartFolder *folder)
{
    bytes.clear();
    const Descriptor fd(folder ? folder->OpenForReading(path)
                               : ::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return PartLoad::kUnreadable;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0 ||
        static_cast<std::uint64_t>(info.st_size) > max)
        return PartLoad::kStream;
    bytes.resize(static_cast<std::size_t>(info.st_size));
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd.get(), bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            bytes.clear();
            return PartLoad::kStream;
        }
        if (n == 0)
            break; // shorter than it was: what is there is the file
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return PartLoad::kInMemory;
}

PartContent PartContent::Open(const std::string &path, std::size_t in_memory_max,
                              const PartFolder *folder)
{
    PartContent content;
    switch (LoadPartFile(path, content.bytes_, in_memory_max, folder)) {
    case PartLoad::kInMemory:
        content.in_memory_ = true;
        break;
    case PartLoad::kStream:
        content.stream_ = qvcommon::OpenFile(path, "rb");
        break;
    case PartLoad::kUnreadable:
        break;
    }
    return content;
}

bool PartContent::Skip(long count)
{
    if (in_memory_) {
        // As a seek past the end would: nothing is left.
        offset_ = std::min(bytes_.size(), offset_ + static_cast<std::size_t>(std::max(count, 0L)));
        return count >= 0;
    }
    return stream_ && std::fseek(stream_.get(), count, SEEK_CUR) == 0;
}

bool PartContent::WriteBase64(std::FILE *out, Base64Lines lines)
{
    if (!in_memory_)
        return stream_ && WriteStreamBase64(out, stream_.get(), lines);
    Base64Writer writer(out, lines);
    const std::string_view rest = bytes();
    writer.Write(rest.data(), rest.size());
    writer.Finish();
    return writer.ok();
}

bool TextLines::Next(std::string &line)
{
    line.clear();
    if (at_ >= text_.size())
        return false;
    const std::size_t end = text_.find_first_of("\r\n", at_);
    if (end == std::string_view::npos) {
        line.assign(text_.substr(at_));
        at_ = text_.size();
        return true;
    }
    line.assign(text_.substr(at_, end - at_));
    at_ = end + 1;
    if (text_[end] == '\r' && at_ < text_.size() && text_[at_] == '\n')
        ++at_;
    return true;
}

} // namespace qvamz::mime
