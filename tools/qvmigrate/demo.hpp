// demo.hpp - `qvmigrate demo`: the whole road in one command.  Starts
// ews-sandbox on a free loopback port, makes two mailboxes, seeds the first
// with the demo content, copies it into the second with the connector,
// dumps both through the sandbox and checks the target against the
// source, prints the summary and the check, and stops the sandbox.
#pragma once

#include <iosfwd>

namespace qvmigrate {

struct CommandLine;

// Exit status: 0 copied and checked, 1 items failed or the check found
// differences, 3 logon failed.
int run_demo(const CommandLine &line, std::ostream &out);

} // namespace qvmigrate
