// Line reads from answer files: one line without its CR LF, at most `max`
// bytes kept (the rest of a longer line is skipped, so a long line never
// turns into several).
#pragma once

#include <cstdio>
#include <string>

namespace qvamz {

// False at the end of the file (nothing read).  The stream is read without
// stdio's lock: each one belongs to a single reader.
inline bool ReadAnswerLine(std::FILE *file, std::string &line, std::size_t max)
{
    line.clear();
    bool any = false;
    int c;
    while ((c = getc_unlocked(file)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        if (line.size() < max)
            line += static_cast<char>(c);
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.pop_back();
    return any;
}

} // namespace qvamz
