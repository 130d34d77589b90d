// Part files read whole.  A message's part files are mostly a few KiB, and
// the builder looks at several of them more than once: a text body is
// scanned and then copied, an HTML body is sniffed and then encoded, the
// header part is searched line by line.  One read of the whole file into
// memory replaces a stdio stream per look; larger files are still streamed.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "common/part_folder.hpp"
#include "common/unique_file.hpp"
#include "mailwrite/base64_writer.hpp"
#include "mailwrite/mime_headers.hpp"

namespace qvamz::mime {

using qvcommon::PartFolder;

enum class PartLoad {
    kInMemory,   // `bytes` holds the whole file
    kStream,     // larger than the bound, or a read failed: stream it
    kUnreadable, // it cannot be opened
};

// Reads the file at `path` into `bytes` when it holds at most `max` bytes.
PartLoad LoadPartFile(const std::string &path, std::string &bytes, std::size_t max,
                      const PartFolder *folder = nullptr);

// A part file's content: read whole, or opened as a stream when it is too
// large for memory.
class PartContent {
  public:
    // Read whole when it holds at most `in_memory_max` bytes; not
    // readable() when the file cannot be opened.
    static PartContent Open(const std::string &path, std::size_t in_memory_max,
                            const PartFolder *folder = nullptr);

    bool readable() const { return in_memory_ || stream_ != nullptr; }
    bool in_memory() const { return in_memory_; }
    // What is left of the content, when in_memory().
    std::string_view bytes() const { return std::string_view(bytes_).substr(offset_); }
    // The stream, when readable() and not in_memory().
    std::FILE *stream() const { return stream_.get(); }
    // Leaves out the first `count` bytes; false when the stream cannot seek.
    bool Skip(long count);
    // The rest of the content to `out` in base64; false on a failed read
    // or write.
    bool WriteBase64(std::FILE *out, Base64Lines lines);

  private:
    bool in_memory_ = false;
    std::string bytes_;
    std::size_t offset_ = 0;
    qvcommon::UniqueFile stream_;
};

// The lines of a text in memory, split as ReadTextLine splits a file: LF,
// CR LF or CR end a line, and text after the last line end is one more.
class TextLines {
  public:
    explicit TextLines(std::string_view text) : text_(text) {}
    bool Next(std::string &line);
    std::size_t Tell() const { return at_; }
    void Seek(std::size_t at) { at_ = at; }

  private:
    std::string_view text_;
    std::size_t at_ = 0;
};

// The same over an open file, through ReadTextLine.
class FileLines {
  public:
    explicit FileLines(std::FILE *in) : in_(in) {}
    bool Next(std::string &line) { return ReadTextLine(in_, line); }
    long Tell() const { return std::ftell(in_); }
    void Seek(long at)
    {
        if (at >= 0)
            std::fseek(in_, at, SEEK_SET);
    }

  private:
    std::FILE *in_;
};

// Writes the header line `line` (just read from `lines`) and the
// continuation lines after it, each ending with CRLF, and leaves `lines`
// where it was.
template <class Lines>
void CopyWithContinuation(Lines &lines, std::string_view line, std::FILE *out)
{
    std::fwrite(line.data(), 1, line.size(), out);
    std::fputs("\r\n", out);
    const auto resume = lines.Tell();
    std::string next;
    while (lines.Next(next) && !next.empty() && (next[0] == ' ' || next[0] == '\t')) {
        std::fwrite(next.data(), 1, next.size(), out);
        std::fputs("\r\n", out);
    }
    lines.Seek(resume);
}

} // namespace qvamz::mime
