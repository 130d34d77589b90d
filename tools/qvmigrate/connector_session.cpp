// connector_session.cpp - Logon with the host's arguments, GetFolderNames,
// Logoff.
#include "connector_session.hpp"

#include <cstring>
#include <vector>

#include <openssl/crypto.h>

#include "host_callbacks.hpp"
#include "host_environment.hpp"
#include "qv/qvcom.h"

namespace qvmigrate {

namespace {

// The host text buffer that Logon clears (argument 11).
constexpr size_t kHostTextSize = 1024;
constexpr int kFirstLogon = 1;

constexpr int kLogonKindMail = 0;
constexpr int kLogonKindContacts = 1;
constexpr int kLogonKindCalendar = 99;
constexpr int kLogonKindTasks = 100;

// A writable copy of a text for the char* arguments; wiped when it goes.
class ArgumentText {
  public:
    explicit ArgumentText(const std::string &text) : bytes_(text.begin(), text.end()) {
        bytes_.push_back('\0');
    }
    ~ArgumentText() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }
    char *get() { return bytes_.data(); }

  private:
    std::vector<char> bytes_;
};

std::vector<FolderEntry> *gFolderSink = nullptr;

int QV_STDCALL on_folder_line(char *line) {
    if (gFolderSink == nullptr || line == nullptr)
        return 0;
    const int index = static_cast<int>(gFolderSink->size());
    if (auto entry = parse_folder_line(line, index))
        gFolderSink->push_back(std::move(*entry));
    else
        com_Log("QV Warning: qvmigrate cannot read the folder line \"%s\"", line);
    return 0;
}

} // namespace

int logon_item_kind(int kind_filter) {
    switch (kind_filter) {
    case 1:
        return kLogonKindContacts;
    case 2:
        return kLogonKindCalendar;
    case 3:
        return kLogonKindTasks;
    default:
        return kLogonKindMail;
    }
}

ConnectorSession::ConnectorSession(const HostEnvironment &env,
                                   const std::filesystem::path &plugin_path,
                                   const Connection &connection, const Credentials &credentials,
                                   Side side, int item_kind, const TransportOptions &transport)
    : plugin_(Plugin::load(plugin_path)) {
    const SwitchString switches =
        build_switch_string(credentials, connection.auth, side, transport);
    const bool source = side == Side::Source;
    env.log("qvmigrate: " + std::string(source ? "source" : "target") + " session for " +
            connection.user + " on " + connection.server + " with " + plugin_path.string());
    env.log("qvmigrate: switches: " + switches.for_log());
    qvcom_set_switches(switches.plugin_switches().reveal().c_str());

    ArgumentText user(connection.user), password(credentials.password.reveal()),
        server(connection.server), folder("");
    std::vector<char> host_text(kHostTextSize, '\0');
    const auto mark = env.log_mark();
    const int result = exports().Logon(user.get(), password.get(), server.get(), folder.get(),
                                       nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                       host_text.data(), 0, kFirstLogon, source ? 1 : 0,
                                       item_kind, nullptr, on_status);
    if (result != 0) {
        const std::string reason = logon_failure_reason(env.log_lines_since(mark));
        exports().Logoff(0); // a failed Logon may leave its transport behind
        qvcom_set_switches(nullptr);
        throw LogonFailed("logon to " + connection.server + " as " + connection.user +
                              " failed (result " + std::to_string(result) + "): " + reason,
                          result);
    }
    logged_on_ = true;
}

ConnectorSession::~ConnectorSession() {
    if (logged_on_)
        exports().Logoff(0);
    qvcom_set_switches(nullptr);
}

std::vector<FolderEntry> ConnectorSession::folders() {
    std::vector<FolderEntry> folders;
    gFolderSink = &folders;
    exports().GetFolderNames(nullptr, on_folder_line);
    gFolderSink = nullptr;
    return folders;
}

} // namespace qvmigrate
