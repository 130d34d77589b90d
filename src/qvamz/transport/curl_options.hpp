// Option sets shared by every post: the EWS handle (http_post.cpp) and the
// WorkMail API handle (impersonation_token.cpp) get the same TLS, proxy and
// time-out settings from here.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string>

namespace qvamz {

struct SessionSettings;
struct SessionState;

inline constexpr const char *kUserAgent = "corlent-agent/1.0";
inline constexpr long kConnectTimeoutSeconds = 30;
inline constexpr long kTransferTimeoutSeconds = 3600;
inline constexpr long kMaxRedirects = 50;

// A transfer that moves less than this many bytes per second for the
// settings' stall time (120 s by default) ends and counts as failed.
inline constexpr long kStallBytesPerSecond = 1;

// What "/SSLVER n" asks curl for.  Only TLS versions: curl and OpenSSL
// refuse SSLv2 and SSLv3, so passing those numbers through would fail
// every post.
struct TlsVersionChoice {
    int switch_value;
    long curl_value; // CURLOPT_SSLVERSION
    const char *text; // for the log
};
inline constexpr TlsVersionChoice kTlsVersionChoices[] = {
    {1, CURL_SSLVERSION_TLSv1, "TLS 1.0 or later"},
    {2, CURL_SSLVERSION_TLSv1_2, "TLS 1.2 or later"},
    {3, CURL_SSLVERSION_TLSv1_3, "TLS 1.3 or later"},
};

// The choice for a "/SSLVER" number; nullptr for 0 (not set) and unknown
// numbers, which leave curl's default.
const TlsVersionChoice *TlsVersionFor(int switch_value);

// User agent, no progress meter, time-outs, redirects, the four callbacks
// (write data = `transfer`, see http_post.hpp), verbose with the debug
// callback, no signals, and the authentication mask `http_auth`.  Write and
// debug data are `transfer` (see http_post.hpp).  A stalled transfer
// (settings.stall_seconds below kStallBytesPerSecond) and an answer over
// settings.max_answer_mb end as failed.
void ApplyTransferOptions(CURL *handle, void *transfer, int http_auth,
                          const SessionSettings &settings);

// Certificates and host names are verified against the system store and
// the "/CAFILE" bundle; "/SSLNOVERIFY" turns verification off (one warning
// per logon: `warning_given`).  Also the cipher list, SSL version and SSL
// options.
struct TransportState;
// Certificate checks (or "/SSLNOVERIFY"), TLS version and ciphers.  The
// trusted certificates are parsed once per session into `transport`.
void ApplyTlsOptions(CURL *handle, const SessionSettings &settings, TransportState &transport);

// "user:password" for EWS posts: the mailbox, replaced by the administrator
// when set, replaced by the delegate administrator when set; "" when no
// password applies.
std::string EwsCredentialsText(const SessionState &state);

// The answer bound of "/MAXANSWER" in bytes.
std::int64_t MaxAnswerBytes(const SessionSettings &settings);

} // namespace qvamz
