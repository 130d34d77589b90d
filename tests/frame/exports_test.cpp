// The plug-in as the host sees it: libqvamz.so loaded with dlopen, the
// exports found by their plain names.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <gtest/gtest.h>

#include "test_support.hpp"
#include "qv/qvamz.h"

namespace {

const std::vector<std::string> kExportNames = {
    "Logon",    "Logoff",        "GetLogonParameters", "GetUserList", "GetFolderNames",
    "GetTrueFolder", "InitRead", "ConvertFolder",      "CloseRead",   "InitWrite",
    "WriteMsg", "CloseWrite",    "TestFile",
};

class PluginTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        handle_ = dlopen(QV_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
    }
    static void TearDownTestSuite()
    {
        if (handle_)
            dlclose(handle_);
        handle_ = nullptr;
    }

    template <typename Fn>
    static Fn *Export(const char *name)
    {
        void *symbol = dlsym(handle_, name);
        EXPECT_NE(symbol, nullptr) << name;
        return reinterpret_cast<Fn *>(symbol);
    }

    static inline void *handle_ = nullptr;
};

TEST_F(PluginTest, DynamicSymbolTableHoldsOnlyTheExports)
{
    std::string command = "nm -D --defined-only '" + std::string(QV_PLUGIN_PATH) +
                          "' 2>/dev/null";
    if (std::system("command -v nm >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "nm is not installed";
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> names;
    std::array<char, 512> line{};
    while (std::fgets(line.data(), line.size(), pipe.get())) {
        char name[400] = "";
        char type = 0;
        if (std::sscanf(line.data(), "%*s %c %399s", &type, name) == 2)
            names.insert(name);
    }
    EXPECT_EQ(names, std::set<std::string>(kExportNames.begin(), kExportNames.end()));
}

TEST_F(PluginTest, LogonParametersByPreset)
{
    auto get = Export<decltype(GetLogonParameters)>("GetLogonParameters");
    const char *presets[] = {"",                "/AUTHAMZD",      "/AUTHAMZD2;/D251",
                             "/AUTHAMZD;/CF",   "/AUTHAMZD2;/CF;/LASTFIRST;/D219",
                             "/AUTHAMZD;/CAF",  "/AUTHAMZD2;/CAF", "/AUTHAMZD;/CAT",
                             "/AUTHAMZD2;/CAT", ""};
    for (int preset = -1; preset <= 8; ++preset) {
        char user[32], password[32], server[32], e7[32] = "x", option[32], e13[32] = "x";
        char servers[256] = "", switches[64] = "stale";
        EXPECT_EQ(get(preset, nullptr, nullptr, user, password, server, e7, option, nullptr,
                      nullptr, servers, nullptr, e13, nullptr, switches),
                  0);
        EXPECT_STREQ(user, "User Email:");
        EXPECT_STREQ(password, "Password:");
        EXPECT_STREQ(server, "Server Name:");
        EXPECT_STREQ(e7, "");
        EXPECT_STREQ(e13, "");
        EXPECT_STREQ(option, preset == 4 ? "Upcoming events only" : "");
        EXPECT_STREQ(servers, "ews.mail.us-east-1.awsapps.com\tews.mail.us-west-2.awsapps.com"
                              "\tews.mail.eu-west-1.awsapps.com");
        EXPECT_STREQ(switches, presets[preset + 1]) << preset;
    }
    // A server list of the host's own is kept; missing buffers are no fault.
    char servers[256] = "ews.example.test";
    EXPECT_EQ(get(1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                  nullptr, servers, nullptr, nullptr, nullptr, nullptr),
              0);
    EXPECT_STREQ(servers, "ews.example.test");
}

TEST_F(PluginTest, UserListThroughTheExport)
{
    auto get = Export<decltype(GetUserList)>("GetUserList");
    conntest::ScratchDir dir;
    std::string missing = dir.file("missing.txt"), out = dir.file("out.txt");
    EXPECT_EQ(get(missing.data(), out.data()), 0);
    const std::string data = std::string(QV_TEST_DATA_DIR) + "/frame/mailboxes-utf16le";
    std::string input = data + ".txt";
    EXPECT_EQ(get(input.data(), out.data()), 1);
    EXPECT_EQ(conntest::ReadFile(out), conntest::ReadFile(data + ".expected"));
    EXPECT_EQ(get(nullptr, nullptr), 0);
    std::string nowhere = dir.file("no/such/dir/out.txt");
    EXPECT_EQ(get(input.data(), nowhere.data()), 0);
}

TEST_F(PluginTest, InitReadStoresLimitAndGroupFolder)
{
    auto init_read = Export<decltype(InitRead)>("InitRead");
    auto msg = std::make_unique<qv_message>();
    std::snprintf(msg->group_folder, sizeof msg->group_folder, "stale");
    EXPECT_EQ(init_read(msg.get(), nullptr, nullptr, nullptr, nullptr, 0), 0);
    EXPECT_STREQ(msg->group_folder, "root");
    EXPECT_EQ(init_read(nullptr, nullptr, nullptr, nullptr, nullptr, 25), 0);
}

TEST_F(PluginTest, LogonNotFirstRunReturnsOneAtOnce)
{
    auto logon = Export<decltype(Logon)>("Logon");
    char user[] = "u@example.com", password[] = "pw", server[] = "ews.invalid", folder[] = "";
    char host_text[] = "keep";
    EXPECT_EQ(logon(user, password, server, folder, nullptr, nullptr, nullptr, nullptr,
                    nullptr, nullptr, host_text, 0, 0, 1, 0, nullptr, nullptr),
              1);
    EXPECT_STREQ(host_text, "keep"); // nothing was done
}

int gFolderLines = 0;
int QV_STDCALL CountFolderLine(char *)
{
    return ++gFolderLines;
}

TEST_F(PluginTest, FolderQueriesBeforeLogonFindNothing)
{
    auto names = Export<decltype(GetFolderNames)>("GetFolderNames");
    auto true_folder = Export<decltype(GetTrueFolder)>("GetTrueFolder");
    gFolderLines = 0;
    EXPECT_EQ(names(nullptr, CountFolderLine), 0);
    EXPECT_EQ(gFolderLines, 0);
    EXPECT_EQ(names(nullptr, nullptr), 0);

    char out[1024] = "stale";
    EXPECT_EQ(true_folder(0, out), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(true_folder(5, nullptr), 0);
}

} // namespace
