// Option sets shared by every post: the EWS handle (http_post.cpp) and the
// WorkMail API handle (impersonation_token.cpp) get the same TLS, proxy and
// time-out settings from here.
#pragma once

#include <curl/curl.h>

#include <string>

namespace qvamz {

struct SessionSettings;
struct SessionState;

inline constexpr const char *kUserAgent = "corlent-agent/1.0";
inline constexpr long kConnectTimeoutSeconds = 30;
inline constexpr long kTransferTimeoutSeconds = 3600;
inline constexpr long kMaxRedirects = 50;

// User agent, no progress meter, time-outs, redirects, the four callbacks
// (write data = `transfer`, see http_post.hpp), verbose with the debug
// callback, no signals, and the authentication mask `http_auth`.  Write and
// debug data are `transfer` (see http_post.hpp).
void ApplyTransferOptions(CURL *handle, void *transfer, int http_auth);

// Certificates and host names are verified against the system store and
// the "/CAFILE" bundle; "/SSLNOVERIFY" turns verification off (one warning
// per logon: `warning_given`).  Also the cipher list, SSL version and SSL
// options.
void ApplyTlsOptions(CURL *handle, const SessionSettings &settings, bool &warning_given);

// "user:password" for EWS posts: the mailbox, replaced by the administrator
// when set, replaced by the delegate administrator when set; "" when no
// password applies.
std::string EwsCredentialsText(const SessionState &state);

} // namespace qvamz
