// batch_coordinator.hpp - `qvmigrate batch`: copies the mailbox pairs of a
// plan, up to --jobs at once, each in a worker process (batch_worker.hpp);
// keeps the batch state (batch_state.hpp), shows the progress and writes
// the report.  Pairs an earlier run finished are not copied again; the
// others are, and their items already acknowledged by the target are left
// out as duplicates.
#pragma once

#include <iosfwd>

namespace qvmigrate {

struct CommandLine;

// Exit status: 0 every pair copied without a failed item (and, with
// --verify, without a difference); 1 otherwise; in a dry run 3 when a
// logon failed.
int run_batch(const CommandLine &line, std::ostream &out);

} // namespace qvmigrate
