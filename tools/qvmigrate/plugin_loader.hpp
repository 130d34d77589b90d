// plugin_loader.hpp - loads libqvamz.so with dlopen and binds the thirteen
// exports by name.  One Plugin object is one loaded module, and so one
// session state: a job loads the plug-in for each session it runs.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "qv/qvamz.h"

namespace qvmigrate {

struct PluginExports {
    decltype(&::Logon) Logon = nullptr;
    decltype(&::Logoff) Logoff = nullptr;
    decltype(&::GetLogonParameters) GetLogonParameters = nullptr;
    decltype(&::GetUserList) GetUserList = nullptr;
    decltype(&::GetFolderNames) GetFolderNames = nullptr;
    decltype(&::GetTrueFolder) GetTrueFolder = nullptr;
    decltype(&::InitRead) InitRead = nullptr;
    decltype(&::ConvertFolder) ConvertFolder = nullptr;
    decltype(&::CloseRead) CloseRead = nullptr;
    decltype(&::InitWrite) InitWrite = nullptr;
    decltype(&::WriteMsg) WriteMsg = nullptr;
    decltype(&::CloseWrite) CloseWrite = nullptr;
    decltype(&::TestFile) TestFile = nullptr;
};

class Plugin {
  public:
    // Throws std::runtime_error naming the file and dlerror()'s reason, or
    // the first export that is missing.
    static std::unique_ptr<Plugin> load(const std::filesystem::path &path);
    ~Plugin();
    Plugin(const Plugin &) = delete;
    Plugin &operator=(const Plugin &) = delete;

    const PluginExports &exports() const { return exports_; }
    const std::filesystem::path &path() const { return path_; }

  private:
    Plugin(void *handle, std::filesystem::path path) : handle_(handle), path_(std::move(path)) {}
    void *handle_;
    std::filesystem::path path_;
    PluginExports exports_;
};

// Where the plug-in and the sandbox are: an explicit path wins; otherwise
// beside the running executable, then where the build put them.  Throws
// std::runtime_error listing the places tried.
std::filesystem::path find_plugin(const std::string &explicit_path);
std::filesystem::path find_sandbox(const std::string &explicit_path);

// The folder of the running executable (from /proc/self/exe).
std::filesystem::path executable_dir();

} // namespace qvmigrate
