// Logon against a running ews-sandbox over HTTPS: the version 14 target
// session and certificate checks.  A real impersonation token, renewed
// between writes, is in WriteSandbox.SleepAndTokenRenewalBeforeEachItem.
#ifdef QV_SANDBOX_PATH

#include <gtest/gtest.h>

#include <string>

#include "ews/folder_table.hpp"
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
    int Logon(const std::string &user, const std::string &password, std::string switches,
              int is_source = 1, bool trust_sandbox = true)
    {
        if (trust_sandbox)
            switches += " /CAFILE " + server->ca_file();
        qvcom_set_switches(switches.c_str());
        return conntest::LogonAs(session, user, password, server->ews_url(), is_source);
    }
    Session session;
    const FolderEntry *Folder(const std::string &internal_path) const
    {
        for (const FolderEntry &entry : session.state.folders)
            if (entry.internal_path == internal_path)
                return &entry;
        return nullptr;
    }

    conntest::ScratchDir work;
    conntest::LogCapture log{work};
};

TEST_F(SandboxLogonTest, TargetSessionOnVersion14ListsEveryFolder)
{
    add_user("alice@example.com", "alice-pw");
    start({"--version", "14"});
    ASSERT_EQ(Logon("alice@example.com", "alice-pw", "", 0), kLogonOk) << log.text();
    EXPECT_EQ(session.state.server_major_version, 14);
    EXPECT_EQ(session.state.force_version_header, 0);
    EXPECT_NE(Folder("Sync Issues"), nullptr);
    EXPECT_NE(Folder("Sync Issues^Conflicts"), nullptr);
}

TEST_F(SandboxLogonTest, UntrustedCertificateIsRefusedUnlessVerificationIsOff)
{
    add_user("alice@example.com", "alice-pw");
    start();
    EXPECT_EQ(Logon("alice@example.com", "alice-pw", "", 1, false), kLogonNoServer);
    EXPECT_TRUE(log.has("QV Error: invalid server name"));
    EXPECT_TRUE(log.has("QV Warning: post to " + server->ews_url() + " failed: "));
    LogoffSession(session, 0);

    EXPECT_EQ(Logon("alice@example.com", "alice-pw", "/SSLNOVERIFY", 1, false), kLogonOk);
    EXPECT_EQ(log.count("QV Warning: TLS certificate verification is off"), 1u);
}

} // namespace

#endif // QV_SANDBOX_PATH
