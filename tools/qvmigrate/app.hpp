// app.hpp - qvmigrate as a function: parse, run the job, print the
// summary, map what happened to the exit status.
#pragma once

#include <iosfwd>

namespace qvmigrate {

int run_qvmigrate(int argc, const char *const *argv, std::ostream &out, std::ostream &err);

} // namespace qvmigrate
