// HTTP POST to the EWS endpoint on the session's one easy handle `gCurl`.
//
// DoPost sends a request held in memory, DoPostFile streams a request file.
// Both write the answer into a response file with every XML tag on a line
// of its own (response_writer.hpp), leave the status code of the last status
// line in `gHTTPResponse` and the last "X-amzn-request-id:" header in
// `gRequestId`, and keep the host alive with a keepalive tick into
// `gStatusCallback` at most every 30 seconds while a transfer runs.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "transport/curl_handles.hpp"
#include "transport/response_writer.hpp"

namespace qvamz {

inline constexpr int kPostAttempts = 5;
inline constexpr int kKeepaliveIntervalSeconds = 30;
inline constexpr std::size_t kDebugLineMax = 2000; // bytes of one "curl debug:" line
inline constexpr CURLcode kReceiveError = CURLE_RECV_ERROR; // 56: DoPostFile gives up at once

// The files of one transfer; the write and read callbacks' user data.
struct TransferFiles {
    std::FILE *request = nullptr;  // body streamed by ReadCallback (DoPostFile)
    std::FILE *response = nullptr; // reformatted answer (no file: answer dropped)
    TagLineFormatter formatter;
};

// ---- session handle (Logon / Logoff) --------------------------------------

// curl_global_init and a new easy handle in `gCurl`; false when curl cannot
// start.  Releases an earlier handle first.
bool OpenSessionTransport();

// Frees `gHeaders`, the handle and curl's global state; `gCurl` and
// `gHeaders` become null.  Harmless when nothing is open.
void CloseSessionTransport();

// Replaces the EWS header list (`gHeaders` follows it).
void SetSessionHeaders(HeaderList list);

// Appends one line to the EWS header list.
bool AppendSessionHeader(std::string_view line);

// The three headers every EWS post carries: Content-Type, "Expect:" (unless
// "/D198") and X-PreferServerAffinity.
bool AppendStandardHeaders(HeaderList &list);

// The options set once on the new session handle at logon.
void SetupSessionHandle();

// ---- posts ---------------------------------------------------------------

// 1 when the transfer succeeded (any HTTP status), else 0.
int DoPost(std::string_view request, const std::string &response_path);
int DoPostFile(const std::string &request_path, const std::string &response_path,
               std::string_view subject);

// ---- callbacks (installed on every handle) --------------------------------

std::size_t WriteCallback(char *data, std::size_t size, std::size_t count, void *transfer);
std::size_t ReadCallback(char *buffer, std::size_t size, std::size_t count, void *transfer);
std::size_t HeaderCallback(char *data, std::size_t size, std::size_t count, void *unused);
int DebugCallback(CURL *handle, curl_infotype kind, char *data, std::size_t length,
                  void *unused);

// Calls the host's status callback with "keepalive" when a transfer runs
// and the due time has passed.
void KeepaliveTick();

// Marks the start and end of a transfer for the keepalive tick.
void BeginTransfer();
void EndTransfer();

// A debug text with the values of credential headers (Authorization,
// Proxy-Authorization, Cookie, Set-Cookie) replaced by "****"; for a SigV4
// authorization only the signature is hidden.
std::string MaskSecrets(std::string_view text);

} // namespace qvamz
