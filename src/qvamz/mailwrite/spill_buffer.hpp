// Text written through stdio that stays in memory up to a bound and moves
// to a work file once it passes it.  The bundle writer builds each
// message's MIME text into one: an ordinary message never touches the
// disk, and a message with large attachments costs no more memory than
// the bound.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "common/unique_file.hpp"

namespace qvamz {

class SpillBuffer {
  public:
    // `spill_path` is created only when the text passes `memory_max` bytes.
    // With `kept_memory`, the buffer builds in that string's memory and
    // hands it back (emptied) when it goes, so that the next buffer does
    // not grow its memory again from nothing.
    SpillBuffer(std::string spill_path, std::size_t memory_max,
                std::string *kept_memory = nullptr);
    ~SpillBuffer();
    SpillBuffer(const SpillBuffer &) = delete;
    SpillBuffer &operator=(const SpillBuffer &) = delete;

    // A stream that appends to the buffer; null when it cannot be made.
    // Only one writer at a time; FinishWriting ends it.
    std::FILE *BeginWriting();
    // Closes the writer.  False when any write failed (the spill file
    // could not be created or filled).
    bool FinishWriting();

    // Bytes written so far.
    std::size_t size() const { return size_; }
    bool spilled() const { return static_cast<bool>(spill_); }

    // A stream reading the text from its start; null on failure.  It must
    // be closed before the buffer goes.
    qvcommon::UniqueFile OpenForReading();

    // Forgets the text and removes the spill file.
    void Clear();

  private:
    static ssize_t WriteHook(void *cookie, const char *data, std::size_t size);
    bool Append(const char *data, std::size_t size);

    std::string spill_path_;
    std::size_t memory_max_;
    std::string *kept_memory_;
    std::string memory_;
    qvcommon::UniqueFile spill_; // open for writing and reading once spilled
    qvcommon::UniqueFile writer_;
    std::size_t size_ = 0;
    bool failed_ = false;
};

} // namespace qvamz
