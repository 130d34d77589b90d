#include "transport/curl_options.hpp"

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>

#include "frame/session.hpp"
#include "qv/qvcom.h"
#include "transport/http_post.hpp"
#include "transport/transport_state.hpp"

namespace qvamz {
namespace {

// Curl's SSL options value that allows the BEAST work-around.
constexpr long kSslOptionsAllowBeast = CURLSSLOPT_ALLOW_BEAST;

// The system bundle behind a store, read when a lookup first misses.
struct LazyBundle {
    std::string path;
    bool read = false;
};

// Lends `found` to the library through `out`, as its own lookups do: the
// store keeps the reference.
int LendObject(X509_OBJECT *found, X509_OBJECT *out)
{
    if (X509 *cert = X509_OBJECT_get0_X509(found)) {
        if (X509_OBJECT_set1_X509(out, cert) != 1)
            return 0;
        X509_free(cert);
        return 1;
    }
    if (X509_CRL *crl = X509_OBJECT_get0_X509_CRL(found)) {
        if (X509_OBJECT_set1_X509_CRL(out, crl) != 1)
            return 0;
        X509_CRL_free(crl);
        return 1;
    }
    return 0;
}

// The library asks here only for a name its store does not hold: the
// first time, the bundle's certificates join the store and the name is
// looked up again among them.
int ReadBundleOnMiss(X509_LOOKUP *lookup, X509_LOOKUP_TYPE type, const X509_NAME *name,
                     X509_OBJECT *out)
{
    auto *bundle = static_cast<LazyBundle *>(X509_LOOKUP_get_method_data(lookup));
    if (!bundle || bundle->read)
        return 0;
    bundle->read = true;
    if (X509_load_cert_crl_file(lookup, bundle->path.c_str(), X509_FILETYPE_PEM) <= 0) {
        com_Log("QV Warning: cannot read the system certificate bundle %s", bundle->path.c_str());
        return 0;
    }
    X509_STORE *store = X509_LOOKUP_get_store(lookup);
    if (!store || X509_STORE_lock(store) != 1)
        return 0;
    X509_OBJECT *found =
        X509_OBJECT_retrieve_by_subject(X509_STORE_get0_objects(store), type, name);
    const int lent = found ? LendObject(found, out) : 0;
    X509_STORE_unlock(store);
    return lent;
}

void FreeLazyBundle(X509_LOOKUP *lookup)
{
    delete static_cast<LazyBundle *>(X509_LOOKUP_get_method_data(lookup));
}

X509_LOOKUP_METHOD *LazyBundleMethod()
{
    // Made once and never changed: every store's lookup refers to it.
    static X509_LOOKUP_METHOD *const method = [] {
        X509_LOOKUP_METHOD *made = X509_LOOKUP_meth_new("system bundle read on first miss");
        if (made && (X509_LOOKUP_meth_set_get_by_subject(made, ReadBundleOnMiss) != 1 ||
                     X509_LOOKUP_meth_set_free(made, FreeLazyBundle) != 1)) {
            X509_LOOKUP_meth_free(made);
            made = nullptr;
        }
        return made;
    }();
    return method;
}

// The system bundle as a lookup of `store`; read at once where no lookup
// can be made.
void AddSystemBundle(X509_STORE *store, const std::string &path)
{
    X509_LOOKUP_METHOD *method = LazyBundleMethod();
    X509_LOOKUP *lookup = method ? X509_STORE_add_lookup(store, method) : nullptr;
    auto bundle = std::make_unique<LazyBundle>(LazyBundle{path});
    if (lookup && X509_LOOKUP_set_method_data(lookup, bundle.get()) == 1) {
        bundle.release(); // the lookup's free callback deletes it
        return;
    }
    if (X509_STORE_load_file(store, path.c_str()) != 1)
        com_Log("QV Warning: cannot read the system certificate bundle %s", path.c_str());
}

// The session's trusted certificates: the system bundle curl would load
// (its built-in CA file) and the "/CAFILE" bundle.
TrustStore LoadTrustStore(CURL *handle, const std::string &ca_file)
{
    char *system_bundle = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_CAINFO, &system_bundle) != CURLE_OK)
        system_bundle = nullptr;
    return MakeTrustStore(system_bundle ? system_bundle : "", ca_file);
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

TrustStore MakeTrustStore(const std::string &system_bundle, const std::string &ca_file)
{
    TrustStore store(X509_STORE_new());
    if (!store)
        return nullptr;
    if (!ca_file.empty() && X509_STORE_load_file(store.get(), ca_file.c_str()) != 1) {
        com_Log("QV Error: cannot read the certificate bundle %s", ca_file.c_str());
        return nullptr;
    }
    if (!system_bundle.empty())
        AddSystemBundle(store.get(), system_bundle);
    // As curl sets up a store of its own: a certificate of the store ends
    // a chain even when it is not self-signed.
    X509_STORE_set_flags(store.get(), X509_V_FLAG_TRUSTED_FIRST | X509_V_FLAG_PARTIAL_CHAIN);
    return store;
}

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
