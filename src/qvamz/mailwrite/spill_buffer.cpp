// Memory first, a work file past the bound (see spill_buffer.hpp).
#include "mailwrite/spill_buffer.hpp"

#include <cstdio>
#include <filesystem>

namespace qvamz {

namespace {

// Memory handed back for the next buffer up to this size; a larger buffer
// (a message with large parts) is freed.
constexpr std::size_t kKeptMemoryMax = 1024 * 1024;

} // namespace

SpillBuffer::SpillBuffer(std::string spill_path, std::size_t memory_max,
                         std::string *kept_memory)
    : spill_path_(std::move(spill_path)), memory_max_(memory_max), kept_memory_(kept_memory)
{
    if (kept_memory_) {
        memory_ = std::move(*kept_memory_);
        memory_.clear();
    }
}

SpillBuffer::~SpillBuffer()
{
    Clear();
    if (kept_memory_ && memory_.capacity() <= kKeptMemoryMax)
        *kept_memory_ = std::move(memory_);
}

void SpillBuffer::Clear()
{
    writer_.reset();
    memory_.clear(); // keeps its capacity for the next text
    size_ = 0;
    failed_ = false;
    if (spill_) {
        spill_.reset();
        std::error_code ignored;
        std::filesystem::remove(spill_path_, ignored);
    }
}

ssize_t SpillBuffer::WriteHook(void *cookie, const char *data, std::size_t size)
{
    // stdio takes 0 as a failed write and sets the stream's error flag.
    return static_cast<SpillBuffer *>(cookie)->Append(data, size) ? static_cast<ssize_t>(size)
                                                                   : 0;
}

bool SpillBuffer::Append(const char *data, std::size_t size)
{
    if (failed_)
        return false;
    if (!spill_ && memory_.size() + size > memory_max_) {
        // Past the bound: what is in memory moves to the file, and so does
        // everything after it.
        spill_ = qvcommon::OpenFile(spill_path_, "w+b");
        failed_ = !spill_ || std::fwrite(memory_.data(), 1, memory_.size(), spill_.get()) !=
                                 memory_.size();
        memory_ = std::string();
    }
    if (!failed_ && spill_)
        failed_ = std::fwrite(data, 1, size, spill_.get()) != size;
    else if (!failed_)
        memory_.append(data, size);
    if (!failed_)
        size_ += size;
    return !failed_;
}

std::FILE *SpillBuffer::BeginWriting()
{
    writer_.reset();
    const cookie_io_functions_t hooks{nullptr, &SpillBuffer::WriteHook, nullptr, nullptr};
    writer_.reset(fopencookie(this, "wb", hooks));
    return writer_.get();
}

bool SpillBuffer::FinishWriting()
{
    if (!writer_)
        return false;
    const bool flushed = std::fflush(writer_.get()) == 0 && !std::ferror(writer_.get());
    writer_.reset();
    if (spill_)
        failed_ = failed_ || std::fflush(spill_.get()) != 0;
    return flushed && !failed_;
}

qvcommon::UniqueFile SpillBuffer::OpenForReading()
{
    if (failed_)
        return nullptr;
    if (spill_) {
        // A stream of its own, so that the reader's position is its own.
        return qvcommon::OpenFile(spill_path_, "rb");
    }
    return qvcommon::UniqueFile(fmemopen(memory_.data(), memory_.size(), "rb"));
}

} // namespace qvamz
