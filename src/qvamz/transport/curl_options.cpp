#include "transport/curl_options.hpp"

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "frame/session.hpp"
#include "qv/qvcom.h"
#include "transport/http_post.hpp"

namespace qvamz {
namespace {

// How long curl keeps the parsed trust store: a whole session.
constexpr long kCaCacheSeconds = 24 * 60 * 60;
// Curl's SSL options value that allows the BEAST work-around.
constexpr long kSslOptionsAllowBeast = CURLSSLOPT_ALLOW_BEAST;

// Runs after curl has loaded its default trust store into the new TLS
// context: adds the "/CAFILE" bundle to it, so both are trusted.
CURLcode AddCaBundle(CURL *, void *ssl_ctx, void *path)
{
    X509_STORE *store = SSL_CTX_get_cert_store(static_cast<SSL_CTX *>(ssl_ctx));
    if (!store || X509_STORE_load_file(store, static_cast<const char *>(path)) != 1) {
        com_Log("QV Error: cannot read the certificate bundle %s",
                static_cast<const char *>(path));
        return CURLE_SSL_CACERT_BADFILE;
    }
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

void ApplyTlsOptions(CURL *handle, const SessionSettings &settings, bool &warning_given)
{
    curl_easy_setopt(handle, CURLOPT_SSLENGINE_DEFAULT, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_OPTIONS, kSslOptionsAllowBeast);
    if (settings.ssl_no_verify) {
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
        if (!warning_given) {
            com_Log("QV Warning: TLS certificate verification is off (/SSLNOVERIFY)");
            warning_given = true;
        }
    } else {
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    }
    // The system store is the CA bundle file alone: curl then parses it
    // once and keeps it for every later connection (its CA cache), where a
    // certificate folder beside it would have it parsed per connection.
    curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(handle, CURLOPT_CA_CACHE_TIMEOUT, kCaCacheSeconds);
    if (!settings.ca_file.empty()) {
        curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, AddCaBundle);
        curl_easy_setopt(handle, CURLOPT_SSL_CTX_DATA, settings.ca_file.c_str());
    } else {
        curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, nullptr);
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
