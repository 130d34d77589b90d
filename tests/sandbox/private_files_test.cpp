// The data folder holds password hashes, role secrets, tokens, keys and
// mail: whatever the umask, its files are 0600 and its folders 0700, and a
// password can be given without showing it in the process list.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "accounts.hpp"
#include "mail_store.hpp"
#include "qv_test_support.hpp"
#include "sandbox_fixture.hpp"
#include "tls_files.hpp"

namespace {

namespace fs = std::filesystem;
using sandbox_test::soap_request;

using qvtest::mode_of;
using qvtest::Umask;

// Every entry under `dir` but the ones the test itself wrote.
void expect_private(const fs::path &dir, const std::vector<std::string> &not_ours = {}) {
    EXPECT_EQ(mode_of(dir), 0700u) << dir;
    std::size_t files = 0;
    for (const auto &entry : fs::recursive_directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (std::find(not_ours.begin(), not_ours.end(), name) != not_ours.end())
            continue;
        EXPECT_EQ(mode_of(entry.path()), entry.is_directory() ? 0700u : 0600u) << entry.path();
        ++files;
    }
    EXPECT_GE(files, 6u) << "stores, CA and server key pairs";
}

class PrivateFiles : public sandbox_test::SandboxTest {};

TEST_F(PrivateFiles, StoresAndKeysAreTheOwnersOnlyWhateverTheUmask) {
    Umask open_mask(022);
    {   // The library on its own, without the command line's umask.
        auto accounts = sandbox::AccountStore::open(data_dir.string());
        accounts->add_user("alice@example.com", "pw", false);
        auto store = sandbox::MailStore::open(data_dir.string());
        ASSERT_TRUE(store);
        store->ensure_mailbox("alice@example.com");
        sandbox::ensure_tls_files(data_dir.string());
        expect_private(data_dir); // with the WAL files of both stores open
    }
    // A server started on what an earlier version left readable to all.
    fs::permissions(data_dir, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
    for (const auto &entry : fs::directory_iterator(data_dir))
        fs::permissions(entry.path(), fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
    auto &again = start();
    EXPECT_EQ(again.client().basic("alice@example.com", "pw").ews(soap_request(sandbox_test::get_folder())).status, 200);
    EXPECT_EQ(again.stop(), 0);
    server.reset();
    expect_private(data_dir, {"server.log"});
}

TEST_F(PrivateFiles, PasswordFromTheEnvironment) {
    ::setenv("QV_SANDBOX_TEST_PASSWORD", "from env", 1);
    cli({"user", "add", "--mailbox", "alice@example.com", "--password-env", "QV_SANDBOX_TEST_PASSWORD"});
    std::string output;
    EXPECT_EQ(sandbox_test::run_sandbox_cli({"user", "add", "--data", data_dir.string(), "--mailbox",
                                             "bob@example.com", "--password-env", "QV_SANDBOX_TEST_UNSET"},
                                            &output), 2);
    EXPECT_NE(output.find("--password-env"), std::string::npos) << output;
    EXPECT_NE(sandbox_test::run_sandbox_cli({"user", "add", "--data", data_dir.string(), "--mailbox",
                                             "bob@example.com"}, &output), 0) << "a password is required";
    ::unsetenv("QV_SANDBOX_TEST_PASSWORD");

    auto &server = start();
    EXPECT_EQ(server.client().basic("alice@example.com", "from env").ews(soap_request(sandbox_test::get_folder())).status, 200);
    EXPECT_EQ(server.client().basic("bob@example.com", "").ews(soap_request(sandbox_test::get_folder())).status, 401)
        << "no user was made without a password";
}

} // namespace
