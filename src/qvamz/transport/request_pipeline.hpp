// Read-ahead for item requests: up to `window` posts in flight at once on
// handles of their own (curl multi), sharing the session's connections,
// cookies and TLS sessions through its share handle.  Answers are handed
// back strictly in the order the requests were started, on the calling
// thread: nothing runs behind the caller's back, transfers only move while
// the caller starts or claims a request.
//
// A pipeline sits beside the session's one easy handle.  While it is
// installed (ReadAheadScope), DoPost takes the answer of a request sent
// ahead as its first attempt when the text it would post is exactly the
// oldest one in flight; every later attempt, busy round and repeat goes the
// usual way.  So the retry rules stay those of a single post.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "transport/curl_handles.hpp"
#include "transport/http_post.hpp"

namespace qvamz {

struct Session;

// "/EWSPREFETCH n": requests in flight while reading; 1 reads strictly one
// item at a time.
inline constexpr int kPrefetchDefault = 4;
inline constexpr int kPrefetchMin = 1;
inline constexpr int kPrefetchMax = 32;
// Bytes of an answer searched for a busy server's words (the response code
// comes long before the MIME content).
inline constexpr std::size_t kBusyScanBytes = 4096;

struct CurlMultiDeleter {
    void operator()(CURLM *multi) const noexcept { curl_multi_cleanup(multi); }
};
using CurlMulti = std::unique_ptr<CURLM, CurlMultiDeleter>;

// One request sent ahead, as DoPost gets it back.
struct FinishedPost {
    PostResult result;
    std::string answer;            // one tag per line, as a response file holds it
    bool answer_too_large = false; // "/MAXANSWER" ended the transfer
};

class RequestPipeline {
  public:
    RequestPipeline(Session &session, int window);
    ~RequestPipeline(); // abandons what is still in flight
    RequestPipeline(const RequestPipeline &) = delete;
    RequestPipeline &operator=(const RequestPipeline &) = delete;

    // Room for one more request: fewer than the window started and not
    // yet claimed.
    bool HasRoom() const { return pending_.size() < static_cast<std::size_t>(window_); }
    // Sends `envelope` (the whole SOAP text) to the session's EWS address.
    // False when no handle could be had; the caller then simply posts it
    // later the usual way.
    bool Start(std::string envelope);
    // The answer of the oldest request when its text is `envelope`, waited
    // for; nothing (and nothing consumed) otherwise.
    std::optional<FinishedPost> Claim(std::string_view envelope);

    int window() const { return window_; }
    std::size_t pending() const { return pending_.size(); }
    int most_in_flight() const { return most_in_flight_; } // high-water mark

  private:
    struct Transfer {
        std::string envelope;
        CurlEasy handle;
        TransferFiles files;
        FinishedPost post;
        bool done = false;
    };

    CurlEasy TakeHandle();
    void Drive();
    void Finish(CURL *handle, CURLcode code);
    void WaitForOldest();
    void ShrinkOnBusy(const FinishedPost &post);

    Session &session_;
    CurlMulti multi_;
    int window_;
    int most_in_flight_ = 0;
    std::deque<std::unique_ptr<Transfer>> pending_; // in the order started
    std::vector<CurlEasy> spare_;                   // handles kept for reuse
};

// Installs a pipeline into the session's transport for the scope's
// lifetime, so that DoPost looks there first.
class ReadAheadScope {
  public:
    ReadAheadScope(Session &session, RequestPipeline *pipeline);
    ~ReadAheadScope();
    ReadAheadScope(const ReadAheadScope &) = delete;
    ReadAheadScope &operator=(const ReadAheadScope &) = delete;

  private:
    Session &session_;
    RequestPipeline *saved_;
};

// An answer that says the server is too busy: HTTP 504, the busy fault
// text, or the ErrorServerBusy response code.
bool SaysServerBusy(int http_status, std::string_view answer);

} // namespace qvamz
