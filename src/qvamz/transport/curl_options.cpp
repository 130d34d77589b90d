#include "transport/curl_options.hpp"

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "frame/session.hpp"
#include "qv/qvcom.h"
#include "transport/http_post.hpp"

namespace qvamz {
namespace {

// Curl's SSL options value that allows the BEAST work-around.
constexpr long kSslOptionsAllowBeast = CURLSSLOPT_ALLOW_BEAST;

bool gTlsWarningGiven = false;

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

void ApplyTransferOptions(CURL *handle, void *transfer)
{
    curl_easy_setopt(handle, CURLOPT_DEBUGFUNCTION, DebugCallback);
    // Verbose stays on: the debug callback is where the status code and
    // the request id are captured.
    curl_easy_setopt(handle, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(handle, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, kTransferTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, WriteCallback);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, transfer);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, HeaderCallback);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_HTTPAUTH, static_cast<unsigned long>(gHttpAuth));
}

void ApplyTlsOptions(CURL *handle)
{
    curl_easy_setopt(handle, CURLOPT_SSLENGINE_DEFAULT, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_OPTIONS, kSslOptionsAllowBeast);
    if (gSw.ssl_no_verify) {
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
        if (!gTlsWarningGiven) {
            com_Log("QV Warning: TLS certificate verification is off (/SSLNOVERIFY)");
            gTlsWarningGiven = true;
        }
    } else {
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    }
    if (!gSw.ca_file.empty()) {
        curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, AddCaBundle);
        curl_easy_setopt(handle, CURLOPT_SSL_CTX_DATA, gSw.ca_file.c_str());
    } else {
        curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, nullptr);
    }
    if (gSw.ssl_version != 0)
        curl_easy_setopt(handle, CURLOPT_SSLVERSION, static_cast<long>(gSw.ssl_version));
    if (!gSw.cipher_list.empty())
        curl_easy_setopt(handle, CURLOPT_SSL_CIPHER_LIST, gSw.cipher_list.c_str());
}

void ResetTlsWarning() { gTlsWarningGiven = false; }

void ApplyProxyOptions(CURL *handle)
{
    if (gProxySpec.empty()) {
        // No proxy unless the switches name one: curl must not take one
        // from the environment behind the host's back ("/NOEWSPROXY").
        curl_easy_setopt(handle, CURLOPT_PROXY, "");
        return;
    }
    if (gProxyProtocol == "SOCKS4")
        curl_easy_setopt(handle, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_SOCKS4));
    else if (gProxyProtocol == "SOCKS5")
        curl_easy_setopt(handle, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_SOCKS5));
    const std::string proxy = gProxyHost + ":" + gProxyPort;
    curl_easy_setopt(handle, CURLOPT_PROXY, proxy.c_str()); // curl copies option strings
    if (!gProxyUser.empty()) {
        const std::string credentials = gProxyUser + ":" + gProxyPassword;
        curl_easy_setopt(handle, CURLOPT_PROXYUSERPWD, credentials.c_str());
    }
}

std::string EwsCredentialsText()
{
    std::string text;
    if (!gPassword.empty())
        text = gMailbox + ":" + gPassword;
    if (!gAdminUser.empty())
        text = gAdminUser + ":" + gAdminPassword;
    if (!gDelegateUser.empty())
        text = gDelegateUser + ":" + gDelegatePassword;
    return text;
}

} // namespace qvamz
