// Option sets shared by every post: the EWS handle (http_post.cpp) and the
// WorkMail API handle (impersonation_token.cpp) get the same TLS, proxy and
// time-out settings from here.
#pragma once

#include <curl/curl.h>

#include <string>

namespace qvamz {

inline constexpr const char *kUserAgent = "corlent-agent/1.0"; // gUserAgent
inline constexpr long kConnectTimeoutSeconds = 30;
inline constexpr long kTransferTimeoutSeconds = 3600;
inline constexpr long kMaxRedirects = 50;

// User agent, no progress meter, time-outs, redirects, the four callbacks
// (write data = `transfer`, see http_post.hpp), verbose with the debug
// callback, no signals, and the authentication mask `gHttpAuth`.
void ApplyTransferOptions(CURL *handle, void *transfer);

// Certificates and host names are verified against the system store and
// the "/CAFILE" bundle; "/SSLNOVERIFY" turns verification off (one warning
// per logon).  Also the cipher list, SSL version and SSL options.
void ApplyTlsOptions(CURL *handle);

// Forgets that the verification warning was given (called at logon).
void ResetTlsWarning();

// The proxy of the session, when one is configured.
void ApplyProxyOptions(CURL *handle);

// "user:password" for EWS posts: the mailbox, replaced by the administrator
// when set, replaced by the delegate administrator when set; "" when no
// password applies.
std::string EwsCredentialsText();

} // namespace qvamz
