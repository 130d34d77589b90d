// Helpers shared by the frame tests: a scratch directory and a host log
// that can be read back.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

#include "qv/qvcom.h"

namespace qvtest {

// A fresh directory under the system temp dir, removed afterwards.
class ScratchDir {
public:
    explicit ScratchDir(const std::string &name)
        : path_(std::filesystem::temp_directory_path() /
                (name + "-" + std::to_string(::getpid())))
    {
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() { std::filesystem::remove_all(path_); }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    std::string file(const std::string &name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Points the host log at a file of its own for the lifetime of the object.
class CapturedLog {
public:
    explicit CapturedLog(const ScratchDir &dir) : path_(dir.file("host.log"))
    {
        qvcom_set_log_file(path_.c_str());
    }
    ~CapturedLog()
    {
        qvcom_close_log();
        qvcom_set_log_file(nullptr);
    }
    CapturedLog(const CapturedLog &) = delete;
    CapturedLog &operator=(const CapturedLog &) = delete;

    // Everything logged so far (the file is closed and reopened so that
    // buffered lines are on disk).
    std::string text()
    {
        qvcom_close_log();
        std::string content = ReadFile(path_);
        qvcom_set_log_file(path_.c_str());
        return content;
    }

private:
    std::string path_;
};

} // namespace qvtest
