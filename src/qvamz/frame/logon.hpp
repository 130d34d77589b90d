// Logon and logoff: the host's seventeen Logon arguments and its switch
// string become a working session (credentials and authentication mode,
// proxy, EWS URL, directories, curl handle, time zone, server version, root
// folder and folder table); Logoff releases the handle and the table.
#pragma once

#include <string>

#include "qv/qvamz.h"

namespace qvamz {

// Logon results.
inline constexpr int kLogonOk = 0;
inline constexpr int kLogonRefused = 1;      // wrong credentials, not now, FindFolder error
inline constexpr int kLogonNoServer = 3;     // no HTTP answer
inline constexpr int kLogonOtherFailure = 4;

struct Session;

// The Logon export's arguments that mean something to the connector.
struct LogonArguments {
    const char *user = nullptr;     // mailbox (or the administrator in token mode)
    const char *password = nullptr;
    const char *server = nullptr;   // host name or EWS URL
    const char *folder = nullptr;   // contacts / calendar / task folder of the job
    char *host_text = nullptr;      // emptied: nothing to tell the host
    int upcoming_only = 0;          // calendar source: upcoming items only
    int first_logon = 0;            // 0: not now; 1: the logon banner is logged
    int is_source = 0;
    int item_kind = 0;              // 1-98 contacts, 99 calendar, 100 tasks
    qv_status_fn status = nullptr;  // the host's status callback (keepalive)
};

// The Logon export's work.
int LogonSession(Session &session, const LogonArguments &args);

// The Logoff export's work; always 0.
int LogoffSession(Session &session, int shutdown);

// In place: every "/" becomes "^", except that "//" becomes one "/"; at
// most 1023 characters are kept.
void ToInternalPath(std::string &path);

} // namespace qvamz
