// Logon against a running ews-sandbox over HTTPS: the certificate check.
// (A real impersonation token, renewed between writes, is in
// WriteSandbox.SleepAndTokenRenewalBeforeEachItem.)
#ifdef QV_SANDBOX_PATH

#include <gtest/gtest.h>

#include <string>

#include "frame/logon.hpp"
#include "frame/session.hpp"
#include "qv/qvcom.h"
#include "sandbox_fixture.hpp"
#include "test_support.hpp"

namespace {

using namespace qvamz;

class SandboxLogonTest : public sandbox_test::SandboxTest {
  protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        qvcom_set_directory(QVCOM_DIR_WORK, work.dir().c_str());
        qvcom_set_directory(QVCOM_DIR_BASE, work.dir().c_str());
    }
    void TearDown() override
    {
        LogoffSession(session, 0);
        qvcom_set_switches(nullptr);
        SandboxTest::TearDown();
    }
    // Logs on without naming the sandbox's certificate authority.
    int Logon(const char *switches)
    {
        qvcom_set_switches(switches);
        return conntest::LogonAs(session, "alice@example.com", "alice-pw", server->ews_url(), 1);
    }
    Session session;
    conntest::ScratchDir work;
    conntest::LogCapture log{work};
};

TEST_F(SandboxLogonTest, UntrustedCertificateIsRefusedUnlessVerificationIsOff)
{
    add_user("alice@example.com", "alice-pw");
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
