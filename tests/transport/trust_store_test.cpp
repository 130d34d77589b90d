// The session's certificate store: parsed once, handed to every TLS
// connection, never kept past a change of "/CAFILE".
#include <gtest/gtest.h>

#ifdef QV_SANDBOX_PATH

#include <string>

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

} // namespace

#endif // QV_SANDBOX_PATH
