// The session's certificate store: parsed once, handed to every TLS
// connection, never kept past a change of "/CAFILE".
#include <gtest/gtest.h>

#ifdef QV_SANDBOX_PATH

#include <filesystem>
#include <memory>
#include <string>

#include <openssl/pem.h>
#include <openssl/x509_vfy.h>

#include "connector_sandbox.hpp"
#include "frame/session.hpp"
#include "transport/curl_options.hpp"
#include "transport/http_post.hpp"
#include "transport/soap_request.hpp"

namespace {

using namespace qvamz;

class TrustStoreTest : public conntest::ConnectorSandboxTest {
  protected:
    TrustStoreTest() : ConnectorSandboxTest("trust@example.com", "trust-pw") {}

    // Whether a GetFolder on a new connection (a fresh transport, so no
    // session cookie) gets through TLS to an HTTP answer.
    bool PostOnNewConnection()
    {
        if (!OpenSessionTransport(session.state.transport))
            return false;
        AppendStandardHeaders(session.state.transport.headers, true);
        SetupSessionHandle(session);
        AnswerBuffer answer;
        answer.path = work.file("answer.xml");
        answer.memory_max = 1 << 20;
        const std::string body = "<FolderShape><t:BaseShape>IdOnly</t:BaseShape></FolderShape>"
                                 "<FolderIds><t:DistinguishedFolderId Id=\"inbox\"/></FolderIds>\n";
        return SoapRequest(session, "GetFolder", "", body, answer).ok;
    }
};

// The store made at logon serves the later connections; a "/CAFILE" that
// cannot be read refuses the connection instead of trusting less quietly,
// and the server's own CA named again is trusted again.
TEST_F(TrustStoreTest, OneStorePerSessionAndEveryCaFileChangeReadAgain)
{
    StartAndLogon();
    ASSERT_TRUE(session.state.transport.trust_store);
    EXPECT_TRUE(PostOnNewConnection());

    const std::string sandbox_ca = session.settings.ca_file;
    session.settings.ca_file = work.file("missing-ca.pem");
    EXPECT_FALSE(PostOnNewConnection());
    EXPECT_TRUE(log.has("QV Error: cannot read the certificate bundle " +
                        session.settings.ca_file));
    EXPECT_FALSE(session.state.transport.trust_store);

    session.settings.ca_file = sandbox_ca;
    EXPECT_TRUE(PostOnNewConnection());
}

// Whether the sandbox's own certificate verifies against `store`.
bool ServerCertificateVerifies(X509_STORE *store, const std::string &ca_file)
{
    const std::string leaf_path = std::filesystem::path(ca_file).replace_filename("server.pem");
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(leaf_path.c_str(), "r"), &BIO_free);
    std::unique_ptr<X509, decltype(&X509_free)> leaf(
        bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr, &X509_free);
    std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> check(X509_STORE_CTX_new(),
                                                                         &X509_STORE_CTX_free);
    return store && leaf && check &&
           X509_STORE_CTX_init(check.get(), store, leaf.get(), nullptr) == 1 &&
           X509_verify_cert(check.get()) == 1;
}

// The system bundle is read only when a chain needs what "/CAFILE" does
// not hold: the server's authority as the only "system" certificate still
// vouches for it, and a bundle that cannot be read is named only when a
// chain needed it.
TEST_F(TrustStoreTest, SystemBundleIsReadOnlyWhenAChainNeedsIt)
{
    StartAndLogon();
    const std::string ca = session.settings.ca_file;
    const std::string missing = work.file("no-bundle.pem");
    EXPECT_TRUE(ServerCertificateVerifies(MakeTrustStore(ca, "").get(), ca));
    EXPECT_TRUE(ServerCertificateVerifies(MakeTrustStore(missing, ca).get(), ca));
    EXPECT_FALSE(log.has(missing));
    EXPECT_FALSE(ServerCertificateVerifies(MakeTrustStore(missing, "").get(), ca));
    EXPECT_TRUE(log.has("QV Warning: cannot read the system certificate bundle " + missing));
}

} // namespace

#endif // QV_SANDBOX_PATH
