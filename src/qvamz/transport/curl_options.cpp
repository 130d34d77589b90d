#include "transport/curl_options.hpp"

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "frame/session.hpp"
#include "qv/qvcom.h"
#include "transport/http_post.hpp"
#include "transport/transport_state.hpp"

namespace qvamz {
namespace {

// Curl's SSL options value that allows the BEAST work-around.
constexpr long kSslOptionsAllowBeast = CURLSSLOPT_ALLOW_BEAST;

// The session's trusted certificates: the system bundle curl would load
// (its built-in CA file) and the "/CAFILE" bundle.  Null (and the reason
// logged) when a bundle cannot be read.
TrustStore LoadTrustStore(CURL *handle, const std::string &ca_file)
{
    TrustStore store(X509_STORE_new());
    if (!store)
        return nullptr;
    char *system_bundle = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_CAINFO, &system_bundle) == CURLE_OK &&
        system_bundle && X509_STORE_load_file(store.get(), system_bundle) != 1)
        com_Log("QV Warning: cannot read the system certificate bundle %s", system_bundle);
    if (!ca_file.empty() && X509_STORE_load_file(store.get(), ca_file.c_str()) != 1) {
        com_Log("QV Error: cannot read the certificate bundle %s", ca_file.c_str());
        return nullptr;
    }
    // As curl sets up a store of its own: a certificate of the store ends
    // a chain even when it is not self-signed.
    X509_STORE_set_flags(store.get(), X509_V_FLAG_TRUSTED_FIRST | X509_V_FLAG_PARTIAL_CHAIN);
    return store;
}

// Runs for each new TLS context (curl itself loads no certificates): hands
// it the session's store, parsed at the first connection only, where curl
// would parse the bundles again for every connection of every handle.
CURLcode UseSessionTrustStore(CURL *handle, void *ssl_ctx, void *data)
{
    auto *transport = static_cast<TransportState *>(data);
    TrustStore &store = transport->trust_store;
    if (!store)
        store = LoadTrustStore(handle, transport->trust_ca_file);
    if (!store || X509_STORE_up_ref(store.get()) != 1)
        return CURLE_SSL_CACERT_BADFILE;
    SSL_CTX_set_cert_store(static_cast<SSL_CTX *>(ssl_ctx), store.get());
    return CURLE_OK;
}

} // namespace

const TlsVersionChoice *TlsVersionFor(int switch_value)
{
    for (const TlsVersionChoice &choice : kTlsVersionChoices)
        if (choice.switch_value == switch_value)
            return &choice;
    return nullptr;
}

std::int64_t MaxAnswerBytes(const SessionSettings &settings)
{
    return static_cast<std::int64_t>(settings.max_answer_mb) * 1024 * 1024;
}

void ApplyTransferOptions(CURL *handle, void *transfer, int http_auth,
                          const SessionSettings &settings)
{
    curl_easy_setopt(handle, CURLOPT_DEBUGFUNCTION, DebugCallback);
    curl_easy_setopt(handle, CURLOPT_DEBUGDATA, transfer);
    // Verbose stays on: the debug callback is where the status code and
    // the request id are captured.
    curl_easy_setopt(handle, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(handle, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, kTransferTimeoutSeconds);
    // A server that stops sending is cut off long before the time-out.
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, kStallBytesPerSecond);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, settings.stall_seconds);
    // Refuses an announced length over the bound; the write callback
    // counts the bytes of answers that announce none.
    curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(MaxAnswerBytes(settings)));
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, WriteCallback);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, transfer);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, HeaderCallback);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_HTTPAUTH, static_cast<unsigned long>(http_auth));
}

void ApplyTlsOptions(CURL *handle, const SessionSettings &settings, TransportState &transport)
{
    curl_easy_setopt(handle, CURLOPT_SSLENGINE_DEFAULT, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_OPTIONS, kSslOptionsAllowBeast);
    // Curl loads no certificates itself: the session's store is handed to
    // every TLS context (UseSessionTrustStore).
    curl_easy_setopt(handle, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr);
    if (settings.ssl_no_verify) {
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, nullptr);
        if (!transport.tls_warning_given) {
            com_Log("QV Warning: TLS certificate verification is off (/SSLNOVERIFY)");
            transport.tls_warning_given = true;
        }
    } else {
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
        if (transport.trust_ca_file != settings.ca_file) { // a new "/CAFILE"
            transport.trust_store.reset();
            transport.trust_ca_file = settings.ca_file;
        }
        // Set again before every post, so it always names the transport
        // where it now is.
        curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, UseSessionTrustStore);
        curl_easy_setopt(handle, CURLOPT_SSL_CTX_DATA, &transport);
    }
    if (const TlsVersionChoice *tls = TlsVersionFor(settings.ssl_version))
        curl_easy_setopt(handle, CURLOPT_SSLVERSION, tls->curl_value);
    if (!settings.cipher_list.empty())
        curl_easy_setopt(handle, CURLOPT_SSL_CIPHER_LIST, settings.cipher_list.c_str());
}

std::string EwsCredentialsText(const SessionState &state)
{
    std::string text;
    if (!state.password.empty())
        text = state.mailbox + ":" + state.password.str();
    if (!state.admin_user.empty())
        text = state.admin_user + ":" + state.admin_password.str();
    if (!state.delegate_user.empty())
        text = state.delegate_user + ":" + state.delegate_password.str();
    return text;
}

} // namespace qvamz
