// cli.hpp - qvmigrate's command line (CLI11).
//
//   qvmigrate folders --server S --user ADDR [auth]
//   qvmigrate export  --server S --user ADDR [auth] --out DIR [--folder PATH]... [--kind K]
//   qvmigrate import  --server S --user ADDR [auth] --in DIR [--folder PATH]...
//   qvmigrate copy    --from-server S --from-user A [from-auth]
//                     --to-server S --to-user B [to-auth] [--stage DIR] [--folder PATH]...
//                     [--no-overlap]
//   qvmigrate demo    [--keep DIR]
//   qvmigrate batch   --plan FILE.csv --from-server S [from-auth] --to-server S [to-auth]
//                     [--jobs N] [--deadline DATE] [--dry-run] [--verify] [--report FILE.html]
// Common: --log FILE --state DIR --max-items N --date-from D --date-to D --json
//         --ca-file PEM --insecure --plugin FILE
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "auth_options.hpp"
#include "jobs.hpp"

namespace qvmigrate {

struct CommandLine {
    std::string command; // "folders", "export", "import", "copy", "demo", "batch"
    Connection connection; // folders, export, import
    Connection from, to;   // copy, batch (whose users come from the plan)
    TransportOptions transport;
    std::string out_dir, in_dir, stage, keep_dir;
    std::vector<std::string> folders;
    std::string kind = "all";
    std::vector<std::string> skip_kinds; // kinds left out ("calendar", ...)
    std::string log, state, plugin, sandbox;
    int max_items = 0;
    std::string date_from, date_to;
    bool json = false;
    bool no_overlap = false; // copy: the write side after the read side
    // batch
    std::string plan, deadline, report;
    int jobs = 1;
    bool dry_run = false, verify = false;
};

// Parses argv.  Returns -1 to go on, or the exit status to end with (0
// after --help, kExitUsage after a mistake, whose message went to `err`).
int parse_command_line(int argc, const char *const *argv, CommandLine &line, std::ostream &out,
                       std::ostream &err);

// The date range of --date-from / --date-to: a day alone means all of it
// ("--date-to 2026-03-31" takes the whole 31st).  Throws UsageError.
JobLimits limits_from(const CommandLine &line);

} // namespace qvmigrate
