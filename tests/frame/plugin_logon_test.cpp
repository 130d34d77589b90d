// The host's view: libqvamz.so loaded with dlopen, driven only through its
// exports (Logon, GetFolderNames, GetTrueFolder, Logoff), against sandbox
// mailboxes seeded with the demo content, in all three ways of logging on.
// The folder lines expected are worked out from the sandbox's own answers.
#ifdef QV_SANDBOX_PATH

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "qv/qvamz.h"
#include "qv/qvcom.h"
#include "sandbox_fixture.hpp"
#include "test_support.hpp"

namespace {

using LogonFn = decltype(&::Logon);
using LogoffFn = decltype(&::Logoff);
using GetFolderNamesFn = decltype(&::GetFolderNames);
using GetTrueFolderFn = decltype(&::GetTrueFolder);

constexpr const char *kOrg = "m-00000000000000000000000000000002";

struct Plugin {
    void *handle = dlopen(QV_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    template <typename Fn> Fn get(const char *name) const
    {
        return handle ? reinterpret_cast<Fn>(dlsym(handle, name)) : nullptr;
    }
    ~Plugin()
    {
        if (handle)
            dlclose(handle);
    }
};

std::vector<std::string> gLines;
int QV_STDCALL CollectLine(char *line)
{
    gLines.emplace_back(line);
    return 0;
}

// The line the host should get for a distinguished folder, from the
// sandbox's GetFolder answer.
std::string ExpectedLine(sandbox_test::Client &client, const std::string &folder,
                         const std::string &mailbox)
{
    const auto answer =
        client.ews(sandbox_test::soap_request(sandbox_test::get_folder(folder, mailbox),
                                              sandbox_test::version_header("Exchange2010_SP1")));
    const std::string &xml = answer.body;
    auto text_of = [&](const std::string &tag) {
        const std::size_t at = xml.find("<t:" + tag + ">");
        if (at == std::string::npos)
            return std::string("?");
        const std::size_t start = at + tag.size() + 4;
        return xml.substr(start, xml.find('<', start) - start);
    };
    int type = 0;
    if (xml.find("<t:ContactsFolder>") != std::string::npos)
        type = 1;
    else if (xml.find("<t:CalendarFolder>") != std::string::npos)
        type = 2;
    else if (xml.find("<t:TasksFolder>") != std::string::npos)
        type = 3;
    return text_of("DisplayName") + " {QV:" + text_of("TotalCount") + ":FCLASS:" +
           std::to_string(type) + "}";
}

class PluginLogonTest : public sandbox_test::SandboxTest {
  protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        qvcom_set_directory(QVCOM_DIR_WORK, work.dir().c_str());
        qvcom_set_directory(QVCOM_DIR_BASE, work.dir().c_str());
    }
    void TearDown() override
    {
        qvcom_set_switches(nullptr);
        SandboxTest::TearDown();
    }

    // Logs on through the export, lists the folders and logs off; the
    // lines the host received.
    std::vector<std::string> ListThroughExports(const Plugin &plugin, const std::string &user,
                                                const std::string &password,
                                                const std::string &switches)
    {
        const std::string all = switches + " /CAFILE " + server->ca_file();
        qvcom_set_switches(all.c_str());
        std::string u = user, p = password, url = server->ews_url(), folder;
        char host_text[256] = "x";
        gLines.clear();
        const int result = plugin.get<LogonFn>("Logon")(
            u.data(), p.data(), url.data(), folder.data(), nullptr, nullptr, nullptr, nullptr,
            nullptr, nullptr, host_text, 0, 1, 1, 0, nullptr, nullptr);
        EXPECT_EQ(result, 0) << user << "\n" << log.text();
        EXPECT_EQ(host_text[0], '\0');
        EXPECT_EQ(plugin.get<GetFolderNamesFn>("GetFolderNames")(nullptr, CollectLine), 0);
        std::vector<std::string> lines = gLines;
        if (!lines.empty()) {
            char out[1024];
            const int last = static_cast<int>(lines.size()) - 1;
            EXPECT_EQ(plugin.get<GetTrueFolderFn>("GetTrueFolder")(last, out), last);
            EXPECT_EQ(std::string(out), lines.back().substr(0, lines.back().find(" {QV:")));
        }
        EXPECT_EQ(plugin.get<LogoffFn>("Logoff")(0), 0);
        return lines;
    }

    void ExpectDemoMailbox(const std::vector<std::string> &lines, const std::string &mailbox,
                           const std::string &admin, const std::string &admin_password)
    {
        auto client = server->client().basic(admin, admin_password);
        const std::string owner = admin == mailbox ? "" : mailbox;
        for (const char *folder : {"inbox", "drafts", "sentitems", "deleteditems", "junkemail",
                                   "outbox", "calendar", "contacts", "tasks", "notes", "journal"}) {
            const std::string expected = ExpectedLine(client, folder, owner);
            EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end())
                << mailbox << ": " << expected;
        }
        const std::string inbox = ExpectedLine(client, "inbox", owner);
        EXPECT_NE(inbox, "Inbox {QV:0:FCLASS:0}") << "the demo content is missing";
        for (const std::string &line : lines)
            EXPECT_EQ(line.find("Sync Issues"), std::string::npos);
    }

    conntest::ScratchDir work;
    conntest::LogCapture log{work};
};

TEST_F(PluginLogonTest, AllThreeWaysOfLoggingOnListTheDemoFolders)
{
    add_user("alice@example.com", "alice-pw");
    add_user("admin@example.com", "admin-pw", true);
    add_user("bob@example.com", "bob-pw");
    add_role(kOrg, "role-1", "AKIAPLUGINTEST", "plugin-secret", "carol@example.com");
    add_user("carol@example.com", "carol-pw");
    for (const char *mailbox : {"alice@example.com", "bob@example.com", "carol@example.com"})
        cli({"seed", "--mailbox", mailbox, "--demo"});
    start();

    Plugin plugin;
    ASSERT_NE(plugin.handle, nullptr) << dlerror();
    for (const char *name : {"Logon", "Logoff", "GetFolderNames", "GetTrueFolder"})
        ASSERT_NE(plugin.get<void *>(name), nullptr) << name;

    const auto own = ListThroughExports(plugin, "alice@example.com", "alice-pw", "");
    ExpectDemoMailbox(own, "alice@example.com", "alice@example.com", "alice-pw");

    const auto delegated = ListThroughExports(plugin, "bob@example.com", "",
                                              "/AUTHAMZD admin@example.com|admin-pw");
    ExpectDemoMailbox(delegated, "bob@example.com", "admin@example.com", "admin-pw");

    const auto impersonated = ListThroughExports(
        plugin, "carol@example.com", "",
        std::string("/AUTHAMZI role-1|") + kOrg + "|AKIAPLUGINTEST|plugin-secret /AMZAPI " +
            server->base_url());
    ExpectDemoMailbox(impersonated, "carol@example.com", "carol@example.com", "carol-pw");

    // The three mailboxes hold the same demo content.
    EXPECT_EQ(own, delegated);
    EXPECT_EQ(own, impersonated);
    EXPECT_FALSE(log.has("plugin-secret"));
    EXPECT_FALSE(log.has("admin-pw"));
}

} // namespace

#endif // QV_SANDBOX_PATH
