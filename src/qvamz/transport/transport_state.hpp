// What the transport keeps for one session: curl's global state, the one
// easy handle every EWS post reuses, the share handle through which it and
// the read-ahead handles use the same connections, cookies (the session
// cookie) and TLS sessions, the EWS header list, and the keepalive clock of
// the transfer that runs.  Owned by the Session; all of it is released
// with it.
#pragma once

#include <curl/curl.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "qv/qvamz.h"
#include "transport/curl_handles.hpp"

namespace qvamz {

class RequestPipeline;

// curl_global_init / curl_global_cleanup as one owner.
class CurlGlobal {
  public:
    CurlGlobal() = default;
    CurlGlobal(CurlGlobal &&other) noexcept : ready_(other.ready_) { other.ready_ = false; }
    CurlGlobal &operator=(CurlGlobal &&other) noexcept
    {
        if (this != &other) {
            reset();
            ready_ = other.ready_;
            other.ready_ = false;
        }
        return *this;
    }
    ~CurlGlobal() { reset(); }

    bool init()
    {
        if (!ready_)
            ready_ = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK;
        return ready_;
    }
    void reset() noexcept
    {
        if (ready_)
            curl_global_cleanup();
        ready_ = false;
    }

  private:
    bool ready_ = false;
};

// The host's status callback gets "keepalive" at most every 30 seconds
// while a transfer runs.
struct Keepalive {
    qv_status_fn callback = nullptr;
    std::int64_t due = 0;
    bool transfer_running = false;
};

struct TrustStoreFree {
    void operator()(X509_STORE *store) const noexcept { X509_STORE_free(store); }
};
// The certificates a session trusts, parsed once (curl_options.cpp).
using TrustStore = std::unique_ptr<X509_STORE, TrustStoreFree>;

struct TransportState {
    TransportState() = default;
    TransportState(TransportState &&) noexcept = default;
    // The handles go before curl's global state, as on destruction.
    TransportState &operator=(TransportState &&other) noexcept
    {
        headers = std::move(other.headers);
        handle = std::move(other.handle);
        share = std::move(other.share);
        global = std::move(other.global);
        read_ahead = other.read_ahead;
        keepalive = other.keepalive;
        tls_warning_given = other.tls_warning_given;
        trust_store = std::move(other.trust_store);
        trust_ca_file = std::move(other.trust_ca_file);
        return *this;
    }

    // Declared first so it is released last: handles go before curl's
    // global state.
    CurlGlobal global;
    CurlShare share; // outlives every handle that uses it
    CurlEasy handle;
    HeaderList headers;
    Keepalive keepalive;
    bool tls_warning_given = false; // "/SSLNOVERIFY" warns once per logon
    // The system bundle and the "/CAFILE" bundle, parsed at the session's
    // first TLS connection and given to every later one (all handles).
    TrustStore trust_store;
    std::string trust_ca_file; // the "/CAFILE" in trust_store
    // The folder reader's requests sent ahead, while one is installed
    // (ReadAheadScope); not owned.
    RequestPipeline *read_ahead = nullptr;
};

} // namespace qvamz
