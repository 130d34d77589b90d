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

// The Logon export's work, with the export's arguments.
int LogonSession(char *user, char *password, char *server, char *folder, void *unused5,
                 void *unused6, void *unused7, void *unused8, void *unused9, void *unused10,
                 char *host_text, int upcoming_only, int first_logon, int is_source,
                 int item_kind, void *unused16, qv_status_fn status);

// The Logoff export's work; always 0.
int LogoffSession(int shutdown);

// In place: every "/" becomes "^", except that "//" becomes one "/"; at
// most 1023 characters are kept.
void ToInternalPath(std::string &path);

// Reads "host=", "port=", "protocol=", "user=", "password=" of a proxy
// specification into the proxy values (a missing key leaves its value);
// a specification without "=" is a bare host.  The protocol is made upper
// case.
void ApplyProxySpec(const std::string &spec);

} // namespace qvamz
