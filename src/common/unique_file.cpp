#include "common/unique_file.hpp"

namespace qvcommon {

bool ReadWholeFile(std::FILE *file, std::string &text)
{
    text.clear();
    char chunk[65536];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, got);
    return std::ferror(file) == 0;
}

bool ReadWholeFile(const std::string &path, std::string &text)
{
    text.clear();
    const UniqueFile file = OpenFile(path, "rb");
    return file && ReadWholeFile(file.get(), text);
}

} // namespace qvcommon
