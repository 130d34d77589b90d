// The host's user list file from a mailbox listing.
//
// The listing is UTF-16LE text (an optional byte order mark first), one
// property per line as "Name : value".  Every "PrimarySmtpAddress" line
// becomes the output line "address;address;display name", the display name
// being that of the last "DisplayName" line before it (empty when there
// was none since the previous address).  Output is UTF-8.
#pragma once

#include <cstddef>

namespace qvamz {

// Longest listing line read, in bytes (longer lines are cut).
inline constexpr std::size_t kUserListLineBytes = 1000;
// Longest line after conversion to UTF-8, in bytes.
inline constexpr std::size_t kUserListUtf8Max = 511;

// 1 written; 0 when a file could not be opened or the output could not be
// written (logged).
int WriteUserList(const char *input_path, const char *output_path);

} // namespace qvamz
