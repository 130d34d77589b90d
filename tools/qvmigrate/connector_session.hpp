// connector_session.hpp - one session with the connector: load the module,
// hand libqvcom the switch string, Logon; Logoff and unload at the end.
//
// Each session gets a freshly loaded module, so nothing of an earlier
// session (the source side of a copy, say) carries over into the next.
#pragma once

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "auth_options.hpp"
#include "folder_list.hpp"
#include "plugin_loader.hpp"

namespace qvmigrate {

class HostEnvironment;

// Logon answered other than 0 (exit status 3).
class LogonFailed : public std::runtime_error {
  public:
    LogonFailed(const std::string &message, int result)
        : std::runtime_error(message), result_(result) {}
    int result() const { return result_; }

  private:
    int result_;
};

// Logon's item kind for a kind filter (0 mail, 1 contacts, 99 calendar,
// 100 tasks; every kind logs on as mail).
int logon_item_kind(int kind_filter);

class ConnectorSession {
  public:
    // Throws LogonFailed with the connector's reason from the log, or
    // std::runtime_error when the module cannot be loaded.
    ConnectorSession(const HostEnvironment &env, const std::filesystem::path &plugin_path,
                     const Connection &connection, const Credentials &credentials, Side side,
                     int item_kind, const TransportOptions &transport);
    ~ConnectorSession();
    ConnectorSession(const ConnectorSession &) = delete;
    ConnectorSession &operator=(const ConnectorSession &) = delete;

    const PluginExports &exports() const { return plugin_->exports(); }

    // GetFolderNames, in the connector's (sorted) order.
    std::vector<FolderEntry> folders();

  private:
    std::unique_ptr<Plugin> plugin_;
    bool logged_on_ = false;
};

} // namespace qvmigrate
