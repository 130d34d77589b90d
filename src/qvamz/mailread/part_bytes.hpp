// A part file that the finishing steps read once.
//
// Each finishing step used to open the part file by name and read it
// again (the charset scan, the UTF-8 check, the conversion, the rewrite);
// now the file is read once into memory, every step looks at those bytes,
// and a rewrite goes back through the descriptor that read them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qvamz::mailread {

// Parts larger than this are read and rewritten file to file, so memory
// stays bounded.
inline constexpr std::size_t kPartBytesMax = std::size_t{1} << 20;

class PartBytes {
  public:
    PartBytes() = default;
    ~PartBytes();
    PartBytes(const PartBytes &) = delete;
    PartBytes &operator=(const PartBytes &) = delete;

    // Opens `path` for reading and writing and reads it whole, when it
    // holds at most `max` bytes.  False, holding nothing, when it cannot be
    // opened or read or is larger.
    bool Load(const std::string &path, std::size_t max = kPartBytesMax);
    bool loaded() const { return fd_ >= 0; }
    // Whether the bytes of the file at `path` are held.
    bool holds(const std::string &path) const { return loaded() && path_ == path; }
    const std::string &bytes() const { return bytes_; }

    // Writes `bytes` over the file from its start and cuts off what is
    // left of the old content; the held bytes become them.  False when a
    // write fails (nothing is held then).
    bool Replace(std::string bytes);

    // Lets go of the file, which something else is about to change.
    void Forget();

  private:
    int fd_ = -1;
    std::string path_;
    std::string bytes_;
};

// Whether the charset conversion of a text body would give back `bytes`
// unchanged: valid UTF-8 (as strict as the converter) declared UTF-8, or
// ASCII declared in a charset that maps ASCII to itself.  `charset` is
// the part's charset field.
bool ConvertsToItself(std::string_view bytes, char *charset, std::size_t charset_size);

} // namespace qvamz::mailread
