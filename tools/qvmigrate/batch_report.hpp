// batch_report.hpp - what a batch did: a table on the terminal, the same
// as JSON (--json) and as a self-contained HTML page (--report FILE.html):
// the totals, a table per mailbox and folder (source total, migrated,
// duplicates, skipped, failed), every failed item with folder, subject,
// date and reason, and the differences --verify found.  A dry run reports
// the folders and item counts it listed and the estimate instead.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "batch_state.hpp"
#include "batch_worker.hpp"

namespace qvmigrate {

struct DryRunPair {
    std::string source, target;
    PairListing listing;
    int items() const;
};

struct BatchOutcome {
    std::string plan_file;
    bool dry_run = false;
    bool verify = false;
    int jobs = 1;
    double seconds = 0;
    std::string created_utc;
    std::vector<MailboxRecord> mailboxes; // copy runs
    std::vector<DryRunPair> listings = {}; // dry runs
    std::string estimate = {};             // the time the plan takes, as text
    int exit_status = 0;

    FolderCounts totals() const;
};

std::string batch_json(const BatchOutcome &outcome);
std::string batch_html(const BatchOutcome &outcome);
void print_batch_table(std::ostream &out, const BatchOutcome &outcome);

// &, <, >, " and ' as entities.
std::string html_escape(const std::string &text);

} // namespace qvmigrate
