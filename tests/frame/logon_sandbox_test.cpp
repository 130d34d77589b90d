// Logon, folder listing and the SOAP layer's busy rounds against a running
// ews-sandbox over HTTPS, in each authentication mode.
#ifdef QV_SANDBOX_PATH

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <string>
#include <vector>

#include "ews/folder_table.hpp"
#include "frame/logon.hpp"
#include "frame/session.hpp"
#include "frame/token.hpp"
#include "qv/qvcom.h"
#include "sandbox_fixture.hpp"
#include "test_support.hpp"
#include "transport/impersonation_token.hpp"
#include "transport/soap_request.hpp"

namespace {

using namespace qvamz;

constexpr const char *kOrg = "m-00000000000000000000000000000001";
constexpr const char *kRole = "role-4d6f";
constexpr const char *kKey = "AKIASANDBOXKEY";
constexpr const char *kSecret = "sandbox/secret+value";

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
    // A request on the logged-on session; 1 when its answer is usable.
    int Soap(std::string_view operation, std::string_view body, const std::string &answer)
    {
        return IsUsableAnswer(SoapRequest(session, operation, "", body, answer)) ? 1 : 0;
    }

    Session session;
    const FolderEntry *Folder(const std::string &internal_path) const
    {
        for (const FolderEntry &entry : session.state.folders)
            if (entry.internal_path == internal_path)
                return &entry;
        return nullptr;
    }
    std::vector<std::string> FolderLines()
    {
        static std::vector<std::string> lines;
        lines.clear();
        GetFolderNamesImpl(session, [](char *line) QV_STDCALL {
            lines.emplace_back(line);
            return 0;
        });
        return lines;
    }
    std::string ApiSwitches(const std::string &secret = kSecret) const
    {
        return std::string("/AUTHAMZI ") + kRole + "|" + kOrg + "|" + kKey + "|" + secret +
               " /AMZAPI " + server->base_url();
    }

    conntest::ScratchDir work;
    conntest::LogCapture log{work};
};

TEST_F(SandboxLogonTest, MailboxCredentialsOnVersion15)
{
    add_user("alice@example.com", "alice-pw");
    cli({"seed", "--mailbox", "alice@example.com", "--demo"});
    start();
    ASSERT_EQ(Logon("alice@example.com", "alice-pw", ""), kLogonOk) << log.text();
    EXPECT_EQ(session.state.server_major_version, 15);
    EXPECT_EQ(session.state.force_version_header, 1);
    EXPECT_FALSE(session.state.root_folder_id.empty());
    ASSERT_NE(Folder("Inbox"), nullptr);
    EXPECT_GT(Folder("Inbox")->total_count, 0);
    EXPECT_EQ(Folder("Contacts")->folder_type, kFolderTypeContacts);
    EXPECT_EQ(Folder("Calendar")->folder_type, kFolderTypeCalendar);
    EXPECT_EQ(Folder("Tasks")->folder_type, kFolderTypeTasks);
    EXPECT_EQ(Folder("Sync Issues"), nullptr); // housekeeping folders stay out of a source job
    EXPECT_EQ(session.state.calendar_folder, "Calendar");

    // After logon the session cookie alone carries the next request.
    EXPECT_EQ(Soap("GetFolder",
                          "<FolderShape>\n<t:BaseShape>IdOnly</t:BaseShape>\n</FolderShape>\n"
                          "<FolderIds>\n<t:DistinguishedFolderId Id=\"inbox\">#Delegate"
                          "</t:DistinguishedFolderId>\n</FolderIds>\n",
                          work.file("after.xml")),
              1);
}

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

TEST_F(SandboxLogonTest, DelegateAdministratorOpensAnotherMailbox)
{
    add_user("admin@example.com", "admin-pw", true);
    add_user("bob@example.com", "bob-pw");
    cli({"seed", "--mailbox", "bob@example.com", "--demo"});
    start();
    ASSERT_EQ(Logon("bob@example.com", "", "/AUTHAMZD admin@example.com|admin-pw"), kLogonOk)
        << log.text();
    ASSERT_NE(Folder("Inbox"), nullptr);
    EXPECT_GT(Folder("Inbox")->total_count, 0); // bob's seeded inbox, not the admin's empty one
}

TEST_F(SandboxLogonTest, ImpersonationRoleWithTokenAndRenewal)
{
    add_role(kOrg, kRole, kKey, kSecret, "carol@example.com");
    cli({"seed", "--mailbox", "carol@example.com", "--demo"});
    start({"--token-lifetime", "61"});
    conntest::FakeClock clock;
    clock.now = std::time(nullptr);
    ASSERT_EQ(Logon("carol@example.com", "", ApiSwitches()), kLogonOk) << log.text();
    EXPECT_EQ(session.state.http_auth, 64);
    EXPECT_EQ(session.state.token_expires_in, 61);
    EXPECT_GT(Folder("Inbox")->total_count, 0);
    EXPECT_TRUE(log.has("Workmail token expires in 61 seconds"));
    EXPECT_FALSE(log.has(kSecret));

    const std::string first = session.state.bearer_token;
    clock.now += 1;
    RenewTokenIfDue(session);
    EXPECT_EQ(session.state.bearer_token, first); // 1 s old: not due yet
    clock.now += 1;
    RenewTokenIfDue(session);
    EXPECT_TRUE(log.has("QV Info: AWS token expired, obtaining new one"));
    EXPECT_NE(session.state.bearer_token, first);
    EXPECT_FALSE(session.state.bearer_token.empty());
    EXPECT_EQ(Soap("GetFolder",
                          "<FolderShape>\n<t:BaseShape>IdOnly</t:BaseShape>\n</FolderShape>\n"
                          "<FolderIds>\n<t:DistinguishedFolderId Id=\"inbox\"/>\n</FolderIds>\n",
                          work.file("after.xml")),
              1);
}

TEST_F(SandboxLogonTest, BadSecretGetsNoToken)
{
    add_role(kOrg, kRole, kKey, kSecret, "carol@example.com");
    start();
    EXPECT_EQ(Logon("carol@example.com", "", ApiSwitches("wrong-secret")), kLogonRefused);
    EXPECT_TRUE(log.has("QV Error: unable to retrieve impersonation token, response is 403"));
    EXPECT_FALSE(log.has("wrong-secret"));
}

TEST_F(SandboxLogonTest, TwelveHundredFoldersNestedAndSorted)
{
    add_user("alice@example.com", "alice-pw");
    start();
    ASSERT_EQ(Logon("alice@example.com", "alice-pw", ""), kLogonOk);
    std::string folders;
    for (int i = 0; i < 1200; ++i)
        folders += "<t:Folder><t:DisplayName>" + std::string(i % 2 ? "bulk " : "Bulk ") +
                   std::to_string(10000 + i) + "</t:DisplayName></t:Folder>\n";
    const std::string create = "<ParentFolderId>\n<t:DistinguishedFolderId Id=\"msgfolderroot\"/>\n"
                               "</ParentFolderId>\n<Folders>\n" + folders + "</Folders>\n";
    ASSERT_EQ(Soap("CreateFolder", create, work.file("created.xml")), 1);
    std::string parent = "<t:DistinguishedFolderId Id=\"inbox\"/>";
    for (const char *name : {"A", "B", "C"}) {
        ASSERT_EQ(Soap("CreateFolder",
                              "<ParentFolderId>\n" + parent + "\n</ParentFolderId>\n<Folders>\n"
                              "<t:Folder><t:DisplayName>" + std::string(name) +
                                  "</t:DisplayName></t:Folder>\n</Folders>\n",
                              work.file("created.xml")),
                  1);
        const std::string answer = conntest::ReadFile(work.file("created.xml"));
        const std::size_t at = answer.find("<t:FolderId Id=\"");
        ASSERT_NE(at, std::string::npos) << answer;
        parent = "<t:FolderId Id=\"" + answer.substr(at + 16, answer.find('"', at + 16) - at - 16) +
                 "\"/>";
    }
    LogoffSession(session, 0);

    ASSERT_EQ(Logon("alice@example.com", "alice-pw", "/CURLDEBUG"), kLogonOk);
    EXPECT_EQ(log.count("curl debug: return from SoapRequest:"), 3u); // FindFolder pages
    EXPECT_NE(Folder("Inbox^A^B^C"), nullptr);
    EXPECT_EQ(Folder("Inbox^A^B^C")->display_path, "Inbox/A/B/C");
    const std::vector<std::string> lines = FolderLines();
    EXPECT_EQ(lines.size(), 1200u + 12u + 3u);
    EXPECT_TRUE(std::is_sorted(lines.begin(), lines.end(), [](const std::string &a,
                                                              const std::string &b) {
        std::string x = a.substr(0, a.find(" {")), y = b.substr(0, b.find(" {"));
        for (auto *s : {&x, &y})
            for (char &c : *s)
                c = static_cast<char>(c == '^' ? '/' : std::tolower(static_cast<unsigned char>(c)));
        return x < y;
    }));
    char out[1024];
    const auto inbox_c = std::find(lines.begin(), lines.end(), "Inbox^A^B^C {QV:0:FCLASS:0}");
    ASSERT_NE(inbox_c, lines.end());
    const int index = static_cast<int>(inbox_c - lines.begin());
    EXPECT_EQ(GetTrueFolderImpl(session.state.folders, index, out), index);
    EXPECT_STREQ(out, "Inbox^A^B^C");
}

} // namespace

#endif // QV_SANDBOX_PATH
