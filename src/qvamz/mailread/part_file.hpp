// Part files written over the file of the same name a previous message
// left, instead of a new file each time.
//
// Every message of a folder writes the same part file names
// (PRT<record><part>.TMP), so a folder reader keeps them from one message
// to the next and the parser writes over them.  On ext4 creating a file
// after many deletions is costly (the inode allocator walks past every
// recently freed inode) and truncating a file to zero makes the close
// write its data out at once; a file rewritten in place and cut to its
// new length at close does neither.
#pragma once

#include <string>

#include "common/unique_file.hpp"

namespace qvamz::mailread {

// Opens `path` for writing as fopen(path, "wb") would, except that an
// existing file is not emptied first: what is written replaces it, and the
// close cuts the file where the writer's position is.  For a writer that
// goes straight on that is the end of what it wrote (an untouched file
// ends up empty); one that takes back a tail seeks back to where the file
// is to end.  A file that has another name too (a host may keep a part by
// a link of its own) is never written over: the name gets a new file.  No fileno(): the stream has no descriptor of its own.  Null
// when the file cannot be opened.
qvcommon::UniqueFile OpenPartFile(const std::string &path);

} // namespace qvamz::mailread
