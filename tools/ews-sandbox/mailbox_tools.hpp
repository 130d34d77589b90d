// Command-line tools that work on the mailbox store directly (no server):
// seed and dump.  Each returns a process exit status and prints its
// errors to stderr.
#pragma once

#include <string>

namespace sandbox {

// Opens (creating when needed) the store in data_dir and seeds `mailbox`
// with the demo content.
int seed_demo(const std::string &data_dir, const std::string &mailbox);

// Loads every file of eml_dir (sorted by name) as one message into the
// folder `folder_path` ("/" between levels, created when missing).
int seed_eml_dir(const std::string &data_dir, const std::string &mailbox,
                 const std::string &eml_dir, const std::string &folder_path);

// Writes folders.json and per item NNNNNN.eml + NNNNNN.json into out_dir.
int dump_mailbox(const std::string &data_dir, const std::string &mailbox,
                 const std::string &out_dir);

} // namespace sandbox
