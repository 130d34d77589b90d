// host_environment.cpp - state and working folders, the log, and reading
// back the connector's log lines.
#include "host_environment.hpp"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include <unistd.h>

#include "private_files.hpp"
#include "qv/qvcom.h"

namespace qvmigrate {

namespace fs = std::filesystem;

namespace {

constexpr const char *kLogName = "qvmigrate.log";
constexpr const char *kDuplicateStoreName = "duplicates.sqlite";

// A folder of qvmigrate's own, 0700; `notes` collects what had to be
// narrowed, for the log once it is open.
fs::path make_dir(const fs::path &dir, const char *what, std::vector<std::string> &notes) {
    const std::string note = make_private_dir(dir, what);
    if (!note.empty())
        notes.push_back(note);
    std::error_code error;
    return fs::absolute(dir, error);
}

// "2026-12-06 15:20:56 QV Error: ..." -> "QV Error: ...".
std::string without_stamp(const std::string &line) {
    constexpr size_t kStampLength = sizeof("2026-12-06 15:20:56 ") - 1;
    if (line.size() > kStampLength && line[4] == '-' && line[13] == ':')
        return line.substr(kStampLength);
    return line;
}

} // namespace

fs::path default_state_dir() {
    const char *state_home = std::getenv("XDG_STATE_HOME");
    if (state_home != nullptr && *state_home == '/')
        return fs::path(state_home) / "qvmigrate";
    const char *home = std::getenv("HOME");
    return fs::path(home != nullptr && *home != '\0' ? home : ".") / ".local/state/qvmigrate";
}

HostEnvironment::HostEnvironment(const std::string &state_option, const std::string &log_option) {
    std::vector<std::string> notes;
    state_dir_ = make_dir(state_option.empty() ? default_state_dir() : fs::path(state_option),
                          "state folder", notes);
    work_dir_ = make_dir(state_dir_ / ("work-" + std::to_string(getpid())), "working folder",
                         notes);
    work_prefix_ = work_dir_.string() + "/";
    log_file_ = log_option.empty() ? state_dir_ / kLogName : fs::absolute(log_option);
    // A log folder that exists may be a shared one (/tmp): only a new one is
    // made private.  The log file itself is made 0600 by libqvcom.
    std::error_code error;
    if (log_file_.has_parent_path() && !fs::exists(log_file_.parent_path(), error))
        make_dir(log_file_.parent_path(), "log folder", notes);
    if (qvcom_set_log_file(log_file_.c_str()) == 0)
        throw std::runtime_error("cannot open the log " + log_file_.string());
    for (const std::string &note : notes)
        com_Log("QV Warning: %s", note.c_str());
    qvcom_set_directory(QVCOM_DIR_WORK, work_prefix_.c_str());
    qvcom_set_directory(QVCOM_DIR_BASE, (state_dir_.string() + "/").c_str());
}

HostEnvironment::~HostEnvironment() {
    qvcom_set_switches(nullptr);
    qvcom_reset_filters();
    qvcom_set_directory(QVCOM_DIR_WORK, nullptr);
    qvcom_set_directory(QVCOM_DIR_BASE, nullptr);
    qvcom_close_log();
    std::error_code error;
    fs::remove_all(work_dir_, error);
}

std::string HostEnvironment::duplicate_store() const {
    return (state_dir_ / kDuplicateStoreName).string();
}

void HostEnvironment::log(const std::string &line) const {
    com_Log("%s", line.c_str());
}

std::uintmax_t HostEnvironment::log_mark() const {
    std::error_code error;
    const auto size = fs::file_size(log_file_, error);
    return error ? 0 : size;
}

std::vector<std::string> HostEnvironment::log_lines_since(std::uintmax_t mark) const {
    std::vector<std::string> lines;
    std::ifstream in(log_file_, std::ios::binary);
    if (!in)
        return lines;
    in.seekg(static_cast<std::streamoff>(mark));
    std::string line;
    while (std::getline(in, line))
        lines.push_back(without_stamp(line));
    return lines;
}

std::string logon_failure_reason(const std::vector<std::string> &lines) {
    std::string errors, all;
    for (const std::string &line : lines) {
        if (line.starts_with("QV Error:"))
            errors += (errors.empty() ? "" : "; ") + line;
        if (!line.starts_with("debug:") && !line.starts_with("curl debug:"))
            all += (all.empty() ? "" : "; ") + line;
    }
    if (!errors.empty())
        return errors;
    return all.empty() ? "the connector gave no reason in the log" : all;
}

} // namespace qvmigrate
