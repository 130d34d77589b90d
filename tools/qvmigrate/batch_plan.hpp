// batch_plan.hpp - the plan of a batch: one mailbox pair per line of a CSV
// file whose header is "source,target" or "source,target,folders"
// (folders: display paths separated by "|"; empty = the --folder options).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "qv/record.h"

namespace qvmigrate {

struct PlanLine {
    int line_number = 0; // in the file, for messages
    std::string source, target;
    std::vector<std::string> folders;
};

// Reads and checks the whole plan.  Throws UsageError naming the file and
// line: a missing or wrong header, a line with too few or too many
// fields, an empty or malformed address, an unterminated quote, the same
// pair twice, or no line at all.
std::vector<PlanLine> parse_plan(const std::string &text, const std::string &file_name);
std::vector<PlanLine> read_plan(const std::filesystem::path &file);

// Splits one CSV record (RFC 4180 quoting: "a ""b""",c).  Nothing when a
// quote is left open.
std::optional<std::vector<std::string>> split_csv_line(const std::string &line);

// --deadline: a day (its end, UTC) or a moment; throws UsageError.
qv_filetime parse_deadline(const std::string &value);

// A name for files of a pair, made only of [A-Za-z0-9@._-].
std::string pair_file_name(const PlanLine &line);

} // namespace qvmigrate
