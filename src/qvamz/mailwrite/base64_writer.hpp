// Base64 output for the mail writers: the standard alphabet with "="
// padding, either as one unbroken line (the MimeContent element of a
// CreateItem bundle) or broken into lines of 72 characters, each followed by
// CRLF (bodies and attachments inside a built message).
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace qvamz {

// Characters per line of broken base64 output (54 input bytes).
inline constexpr std::size_t kBase64LineChars = 72;

enum class Base64Lines { kUnbroken, kBroken72 };

// Streams bytes to `out` as base64.  Input of any length can be written in
// pieces; Finish() encodes the last group with its padding and, with broken
// lines, ends a started line with CRLF (an empty input writes nothing).
// Non-copyable; the FILE is the caller's.
class Base64Writer {
  public:
    Base64Writer(std::FILE *out, Base64Lines lines);
    Base64Writer(const Base64Writer &) = delete;
    Base64Writer &operator=(const Base64Writer &) = delete;

    void Write(const void *data, std::size_t size);
    void Finish();

    // Characters written so far (line ends included).
    std::size_t chars_written() const { return chars_written_; }
    // False once a write to the output failed.
    bool ok() const { return ok_; }

  private:
    void EncodeChunk(const unsigned char *data, std::size_t size);
    void Put(const char *text, std::size_t size);

    std::FILE *out_;
    Base64Lines lines_;
    std::vector<unsigned char> pending_; // input not yet encoded
    std::vector<char> encoded_;          // scratch for one chunk
    std::size_t chars_written_ = 0;
    bool ok_ = true;
};

// Writes the content of the file at `path` to `out` in base64 (Finish()
// included).  Returns false, writing nothing, when the file cannot be
// opened; a read error after opening also answers false.
bool WriteFileBase64(std::FILE *out, const std::string &path, Base64Lines lines);

// The same for an open file, read from its current position to its end.
bool WriteStreamBase64(std::FILE *out, std::FILE *in, Base64Lines lines);

} // namespace qvamz
