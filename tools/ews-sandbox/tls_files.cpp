#include "tls_files.hpp"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "private_files.hpp"

namespace sandbox {
namespace {

namespace fs = std::filesystem;

constexpr long kCaValidDays = 3650;
constexpr long kServerValidDays = 825; // what browsers and curl still accept
constexpr long kRenewBeforeSeconds = 24 * 3600;
constexpr const char *kCaName = "ews-sandbox local CA";
constexpr const char *kServerName = "localhost";

struct BioFree { void operator()(BIO *b) const { BIO_free_all(b); } };
struct X509Free { void operator()(X509 *x) const { X509_free(x); } };
struct PkeyFree { void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); } };
using BioPtr = std::unique_ptr<BIO, BioFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

[[noreturn]] void fail(const std::string &what) {
    char buf[256] = "";
    ERR_error_string_n(ERR_get_error(), buf, sizeof buf);
    throw std::runtime_error(what + (buf[0] ? std::string(": ") + buf : std::string()));
}

PkeyPtr new_key() {
    PkeyPtr key(EVP_EC_gen("P-256"));
    if (!key)
        fail("cannot create a key");
    return key;
}

void add_ext(X509 *cert, X509 *issuer, int nid, const char *value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext)
        fail(std::string("cannot build certificate extension ") + OBJ_nid2sn(nid));
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// A certificate for `subject_key`; issuer == nullptr makes it self-signed.
X509Ptr new_cert(const char *common_name, EVP_PKEY *subject_key, X509 *issuer,
                 EVP_PKEY *issuer_key, long valid_days) {
    X509Ptr cert(X509_new());
    if (!cert)
        fail("cannot create a certificate");
    X509_set_version(cert.get(), 2);
    std::unique_ptr<BIGNUM, decltype(&BN_free)> serial(BN_new(), BN_free);
    BN_rand(serial.get(), 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY);
    BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get()));
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), valid_days * 24 * 3600);
    X509_set_pubkey(cert.get(), subject_key);
    X509_NAME *name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char *>(common_name), -1, -1, 0);
    X509 *signer = issuer ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    add_ext(cert.get(), signer, NID_subject_key_identifier, "hash");
    if (issuer) {
        add_ext(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
        add_ext(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        add_ext(cert.get(), signer, NID_key_usage, "critical,digitalSignature,keyAgreement");
        add_ext(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        add_ext(cert.get(), signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    } else {
        add_ext(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
        add_ext(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    }
    if (!X509_sign(cert.get(), issuer ? issuer_key : subject_key, EVP_sha256()))
        fail("cannot sign a certificate");
    return cert;
}

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

template <typename Writer> std::string to_pem(Writer write) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || !write(bio.get()))
        fail("cannot encode PEM");
    char *data = nullptr;
    const long len = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(len));
}

std::string cert_pem(X509 *cert) {
    return to_pem([cert](BIO *b) { return PEM_write_bio_X509(b, cert) == 1; });
}

std::string key_pem(EVP_PKEY *key) {
    return to_pem([key](BIO *b) {
        return PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    });
}

X509Ptr load_cert(const fs::path &path) {
    const std::string pem = read_file(path);
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

PkeyPtr load_key(const fs::path &path) {
    const std::string pem = read_file(path);
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return PkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

bool still_valid(X509 *cert) {
    std::time_t soon = std::time(nullptr) + kRenewBeforeSeconds;
    return X509_cmp_time(X509_get0_notAfter(cert), &soon) > 0;
}

} // namespace

TlsFiles ensure_tls_files(const std::string &data_dir) {
    const fs::path dir(data_dir);
    TlsFiles files{(dir / "ca.pem").string(), (dir / "server.pem").string(),
                   (dir / "server-key.pem").string()};
    const fs::path ca_key_path = dir / "ca-key.pem";
    ensure_private_dir(dir);

    X509Ptr ca = fs::exists(files.ca_cert) ? load_cert(files.ca_cert) : nullptr;
    PkeyPtr ca_key = fs::exists(ca_key_path) ? load_key(ca_key_path) : nullptr;
    if (!ca || !ca_key || !still_valid(ca.get()) || X509_check_private_key(ca.get(), ca_key.get()) != 1) {
        ca_key = new_key();
        ca = new_cert(kCaName, ca_key.get(), nullptr, nullptr, kCaValidDays);
        write_private_file(ca_key_path, key_pem(ca_key.get()));
        write_private_file(files.ca_cert, cert_pem(ca.get()));
    }

    X509Ptr server = fs::exists(files.server_cert) ? load_cert(files.server_cert) : nullptr;
    PkeyPtr server_key = fs::exists(files.server_key) ? load_key(files.server_key) : nullptr;
    const bool usable = server && server_key && still_valid(server.get()) &&
                        X509_check_private_key(server.get(), server_key.get()) == 1 &&
                        X509_verify(server.get(), X509_get0_pubkey(ca.get())) == 1;
    if (!usable) {
        server_key = new_key();
        server = new_cert(kServerName, server_key.get(), ca.get(), ca_key.get(), kServerValidDays);
        write_private_file(files.server_key, key_pem(server_key.get()));
        write_private_file(files.server_cert, cert_pem(server.get()));
    }
    // Files of earlier versions may be readable by others.
    for (const fs::path &path : {ca_key_path, fs::path(files.ca_cert), fs::path(files.server_key),
                                 fs::path(files.server_cert)})
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    ERR_clear_error();
    return files;
}

} // namespace sandbox
