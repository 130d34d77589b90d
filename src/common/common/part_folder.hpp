// The folder of a message's part files, opened once, so that each part
// file is then reached by its name alone rather than by a walk along its
// whole path (most of what opening or deleting a small file costs).
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace qvcommon {

class PartFolder {
  public:
    // `prefix`: what every part file path begins with (the work directory).
    explicit PartFolder(std::string_view prefix);
    ~PartFolder();
    PartFolder(const PartFolder &) = delete;
    PartFolder &operator=(const PartFolder &) = delete;

    // open(2) for reading and unlink(2) of a part file path that begins
    // with the prefix; other paths, or all when the folder cannot be
    // opened, are used whole.
    int OpenForReading(const std::string &path) const;
    void Remove(const std::string &path) const;

  private:
    // The directory descriptor and the name `path` has in it, or AT_FDCWD
    // and the whole path.
    std::pair<int, const char *> Locate(const std::string &path) const;

    std::string dir_; // the prefix up to its last "/"
    int fd_ = -1;
};

} // namespace qvcommon
