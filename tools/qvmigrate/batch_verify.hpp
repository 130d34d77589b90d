// batch_verify.hpp - --verify: the target is read back through the
// connector into an archive of its own and compared with the staged copy
// of the source, folder by folder and item by item: items are matched by
// Message-ID (else subject and date) and compared by subject, sender,
// date, recipients and attachments (names and sizes).  An item missing in
// the target, or there more often than in the source, is a difference.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "jobs.hpp"

namespace qvmigrate {

// At most this many differences are listed per mailbox.
inline constexpr size_t kMaxVerifyDifferences = 40;

std::vector<std::string> verify_copy(HostEnvironment &env, const JobSettings &settings,
                                     const Connection &target, const Credentials &credentials,
                                     const std::filesystem::path &stage,
                                     const std::filesystem::path &readback);

// The comparison alone, of two archives.
std::vector<std::string> compare_archives(const std::filesystem::path &source,
                                          const std::filesystem::path &target,
                                          const std::string &work_prefix);

} // namespace qvmigrate
