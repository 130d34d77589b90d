// Logon against a running ews-sandbox over HTTPS: the certificate check.
// (A real impersonation token, renewed between writes: the batch suites and
// FaultMatrix.TokenRenewalRefused of tests/qvmigrate.)
#include <gtest/gtest.h>

#ifdef QV_SANDBOX_PATH

#include <string>

#include "connector_sandbox.hpp"
#include "frame/logon.hpp"
#include "qv/qvcom.h"

namespace {

using namespace qvamz;

class SandboxLogonTest : public conntest::ConnectorSandboxTest {
  protected:
    SandboxLogonTest() : ConnectorSandboxTest("alice@example.com", "alice-pw") {}

    // Logs on without naming the sandbox's certificate authority.
    int Logon(const char *switches)
    {
        qvcom_set_switches(switches);
        return conntest::LogonAs(session, "alice@example.com", "alice-pw", server->ews_url(), 1);
    }
};

TEST_F(SandboxLogonTest, UntrustedCertificateIsRefusedUnlessVerificationIsOff)
{
    start();
    EXPECT_EQ(Logon(""), kLogonNoServer);
    EXPECT_TRUE(log.has("QV Error: invalid server name"));
    EXPECT_TRUE(log.has("QV Warning: post to " + server->ews_url() + " failed: "));
    LogoffSession(session, 0);

    EXPECT_EQ(Logon("/SSLNOVERIFY"), kLogonOk);
    EXPECT_EQ(log.count("QV Warning: TLS certificate verification is off"), 1u);
}

} // namespace

#endif // QV_SANDBOX_PATH
