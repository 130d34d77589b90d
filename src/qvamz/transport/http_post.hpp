// HTTP POST to the EWS endpoint on the session's one easy handle.
//
// DoPost sends a request held in memory, DoPostFile streams a request file.
// Both write the answer into a response file (or DoPost into memory, see
// AnswerBuffer) with every XML tag on a line of its own
// (response_writer.hpp), return the status code of the last
// status line and the last "X-amzn-request-id:" header in a PostResult,
// and keep the host alive with a keepalive tick into the session's status
// callback at most every 30 seconds while a transfer runs.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "common/unique_file.hpp"
#include "transport/curl_handles.hpp"
#include "transport/response_writer.hpp"
#include "transport/transport_state.hpp"

namespace qvamz {

inline constexpr int kPostAttempts = 5;
inline constexpr int kKeepaliveIntervalSeconds = 30;
inline constexpr std::size_t kDebugLineMax = 2000; // bytes of one "curl debug:" line
inline constexpr CURLcode kReceiveError = CURLE_RECV_ERROR; // 56: DoPostFile gives up at once

struct Session;

// What one post brought back.
struct PostResult {
    bool ok = false;        // the transfer completed (any HTTP status)
    int http_status = 0;    // of the last status line; 0 when no answer came
    std::string request_id; // the last "X-amzn-request-id:" header line
    std::string curl_error; // curl's text when the transfer failed
};

// Where DoPost leaves an answer: in memory while it is at most
// `memory_max` bytes, else in the file `path` (one that grows past the
// bound during the transfer moves there with what came so far), so that
// a small answer never touches the disk and a large one is never held
// whole.  A `memory_max` of 0 puts every answer in the file, which is
// then made even for an empty answer.
struct AnswerBuffer {
    std::string path;
    std::size_t memory_max = 0;
    std::string text;     // the answer, unless in_file
    bool in_file = false; // the answer is in `path`

    // The answer from its start, to be read line by line.  Null when the
    // file cannot be opened.
    qvcommon::UniqueFile Open() const;
    // Back to empty, before a new attempt.
    void Clear()
    {
        text.clear();
        in_file = false;
    }
};

// A request body sent as it is read: `head`, the next `file_left` bytes of
// `file`, then `tail`.  The pieces outlive the transfer.  A file that ends
// early aborts the transfer: the length was announced.
struct StreamedBody {
    std::string_view head;
    std::FILE *file = nullptr;
    std::size_t file_left = 0;
    std::string_view tail;
    std::size_t head_sent = 0, tail_sent = 0;
};

// One transfer: the user data of the write, read and debug callbacks.
struct TransferFiles {
    StreamedBody *request = nullptr; // body streamed by ReadCallback (DoPostFile)
    std::FILE *response = nullptr; // reformatted answer (no file: answer dropped)
    std::string *response_text = nullptr; // or the reformatted answer in memory
    AnswerBuffer *answer = nullptr;       // or there, until it grows too large
    qvcommon::UniqueFile spill;           // the file `answer` moved to
    TagLineFormatter formatter;
    PostResult *result = nullptr;     // status and request id land here
    Keepalive *keepalive = nullptr;   // ticked while data moves
    bool curl_debug = false;          // "/CURLDEBUG": log what curl says
    std::int64_t answer_limit = -1;   // bytes; -1: no bound
    std::int64_t answer_bytes = 0;    // received so far
    bool answer_too_large = false;    // the bound ended the transfer
};

// ---- session handle (Logon / Logoff) --------------------------------------

// curl_global_init and a new easy handle in `transport`; false when curl
// cannot start.  Releases an earlier handle first.
bool OpenSessionTransport(TransportState &transport);

// Frees the header list, the handle and curl's global state.  Harmless
// when nothing is open.
void CloseSessionTransport(TransportState &transport);

// The three headers every EWS post carries: Content-Type, "Expect:" (unless
// "/D198" cleared `send_expect`) and X-PreferServerAffinity.
bool AppendStandardHeaders(HeaderList &list, bool send_expect);

// The options set once on the new session handle at logon.
void SetupSessionHandle(Session &session);

// The same for a further handle that shares the session handle's
// connections, cookies and TLS sessions (the read-ahead's).
void SetupSharingHandle(Session &session, CURL *handle);

// What one in-memory post sets on `handle` before it runs: the session's
// URL, headers, credentials, TLS and proxy options, the body (which must
// outlive the transfer) and `files` for the callbacks, with `result` as
// the place for the status and request id.
void PrepareMemoryPost(Session &session, CURL *handle, TransferFiles &files, PostResult &result,
                       std::string_view body);
// Fills `result` from curl's outcome and logs an answer cut off by
// "/MAXANSWER".
void ConcludeTransfer(const Session &session, TransferFiles &files, CURLcode code,
                      PostResult &result);

// ---- posts ---------------------------------------------------------------

// `ok` when the transfer succeeded (any HTTP status).  DoPost first asks
// the installed read-ahead (request_pipeline.hpp) whether this very text is
// already on its way; its answer then counts as the first attempt.
PostResult DoPost(Session &session, std::string_view request, const std::string &response_path);
PostResult DoPost(Session &session, std::string_view request, AnswerBuffer &answer);
PostResult DoPostFile(Session &session, const std::string &request_path,
                      const std::string &response_path, std::string_view subject);
// The same for a request made of `head`, the whole of `body` and `tail`,
// sent as it is read: no request file is written.  Every attempt sends it
// from the start of `body`.
PostResult DoPostFile(Session &session, std::string_view head, std::FILE *body,
                      std::string_view tail, const std::string &response_path,
                      std::string_view subject);

// ---- callbacks (installed on every handle) --------------------------------

std::size_t WriteCallback(char *data, std::size_t size, std::size_t count, void *transfer);
std::size_t ReadCallback(char *buffer, std::size_t size, std::size_t count, void *transfer);
std::size_t HeaderCallback(char *data, std::size_t size, std::size_t count, void *user_data);
int DebugCallback(CURL *handle, curl_infotype kind, char *data, std::size_t length,
                  void *transfer);

// Calls the keepalive's callback with "keepalive" when a transfer runs and
// the due time has passed.
void KeepaliveTick(Keepalive &keepalive);

// Marks the start and end of a transfer for the keepalive tick.
void BeginTransfer(Keepalive &keepalive);
void EndTransfer(Keepalive &keepalive);

// A debug text with the values of credential headers (Authorization,
// Proxy-Authorization, Cookie, Set-Cookie) replaced by "****"; for a SigV4
// authorization only the signature is hidden.
std::string MaskSecrets(std::string_view text);

} // namespace qvamz
