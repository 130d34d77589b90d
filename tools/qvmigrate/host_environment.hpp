// host_environment.hpp - what a host sets up in libqvcom before it loads
// the connector: the state folder (base of debug folders, duplicate
// store), a working folder of its own for request and part files, and the
// host log.  Also reads back what the connector logged, which is where it
// gives its reasons.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qvmigrate {

// $XDG_STATE_HOME/qvmigrate, or ~/.local/state/qvmigrate.
std::filesystem::path default_state_dir();

class HostEnvironment {
  public:
    // Creates the state folder and a fresh working folder below it, opens
    // the log (default: qvmigrate.log in the state folder).  Throws
    // std::runtime_error when a folder or the log cannot be made.
    HostEnvironment(const std::string &state_option, const std::string &log_option);
    // Removes the working folder and closes the log.
    ~HostEnvironment();
    HostEnvironment(const HostEnvironment &) = delete;
    HostEnvironment &operator=(const HostEnvironment &) = delete;

    const std::filesystem::path &state_dir() const { return state_dir_; }
    const std::filesystem::path &log_file() const { return log_file_; }
    // The working folder with its trailing separator, as the connector
    // expects every work-file prefix.
    const std::string &work_prefix() const { return work_prefix_; }
    std::string duplicate_store() const;

    // One line in the host log.
    void log(const std::string &line) const;

    // Position in the log, and the lines written after it.
    std::uintmax_t log_mark() const;
    std::vector<std::string> log_lines_since(std::uintmax_t mark) const;

  private:
    std::filesystem::path state_dir_, work_dir_, log_file_;
    std::string work_prefix_;
};

// The reason the connector gave for a failed logon: its "QV Error:" lines
// (without the time stamp), or every line when it wrote no error line.
std::string logon_failure_reason(const std::vector<std::string> &lines);

} // namespace qvmigrate
