// A suite whose tests share one ews-sandbox data folder, filled once by
// the suite's own SetUpTestSuite through open(); every test gets a
// scratch folder of its own.  `Suite` keeps the statics of each suite
// apart.  The sandbox's commands and server are the shared fixture's.
#pragma once

#include <functional>
#include <memory>

#include "../sandbox/sandbox_fixture.hpp"
#include "dump_compare.hpp"
#include "tool_runner.hpp"

namespace qvm_test {

inline constexpr const char *kSandboxOrg = "m-0123456789abcdef0123456789abcdef";

template <class Suite> class SandboxSuite : public ::testing::Test {
  protected:
    static inline std::unique_ptr<TempDir> temp;
    static inline std::unique_ptr<sandbox_test::SandboxServer> server;
    static inline std::string setup_failure;

    static fs::path data() { return temp->path() / "sandbox"; }

    // Makes the data folder and runs `fill`; what it throws fails every test.
    static void open(const std::function<void()> &fill) {
        temp = std::make_unique<TempDir>();
        try {
            fs::create_directories(data());
            fill();
        } catch (const std::exception &e) {
            setup_failure = e.what();
        }
    }
    static void TearDownTestSuite() {
        server.reset();
        temp.reset();
    }
    // (Re)starts the server with these serve options.
    static void start_server(const std::vector<std::string> &options = {}) {
        server.reset();
        server = std::make_unique<sandbox_test::SandboxServer>(data(), options);
    }

    // `ews-sandbox ARGS... --data DATA`; throws with its output when it fails.
    static void sandbox(std::vector<std::string> args) {
        args.insert(args.end(), {"--data", data().string()});
        std::string output;
        if (sandbox_test::run_sandbox_cli(args, &output) != 0)
            throw std::runtime_error(args[0] + " failed: " + output);
    }
    static void add_user(const std::string &mailbox, const std::string &password, bool delegate_admin = false) {
        std::vector<std::string> args = {"user", "add", "--mailbox", mailbox, "--password", password};
        if (delegate_admin)
            args.push_back("--delegate-admin");
        sandbox(args);
    }
    static void add_role(const std::string &role, const std::string &key, const std::string &secret,
                         const std::string &mailboxes) {
        sandbox({"role", "add", "--org", kSandboxOrg, "--role", role, "--access-key", key, "--secret",
                 secret, "--mailboxes", mailboxes});
    }
    // Seeds `messages` (RFC 822 texts) into `folder` of `mailbox`.
    static void seed(const std::string &mailbox, const std::string &folder,
                     const std::vector<std::string> &messages) {
        static int batches = 0;
        const fs::path dir = temp->path() / ("eml-" + std::to_string(++batches));
        fs::create_directories(dir);
        for (std::size_t i = 0; i < messages.size(); ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "%04zu.eml", i);
            write_file(dir / name, messages[i]);
        }
        sandbox({"seed", "--mailbox", mailbox, "--eml-dir", dir.string(), "--folder", folder});
    }

    void SetUp() override {
        ASSERT_TRUE(setup_failure.empty()) << setup_failure;
        scratch = temp->path() / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(scratch);
    }

    // A job's side: "--PREFIXserver URL --PREFIXuser USER --PREFIXpassword-env VARIABLE".
    static std::vector<std::string> side(const std::string &prefix, const std::string &user,
                                         const std::string &variable) {
        return {"--" + prefix + "server", server->where().url, "--" + prefix + "user", user,
                "--" + prefix + "password-env", variable};
    }
    // The server's CA file and the test's own state folder.
    std::vector<std::string> common() const {
        return {"--ca-file", server->where().ca_file, "--state", (scratch / "state").string()};
    }

    qvmigrate::MailboxDump dump(const std::string &mailbox, const std::string &name) const {
        sandbox({"dump", "--mailbox", mailbox, "--out", (scratch / name).string()});
        return qvmigrate::load_dump(scratch / name);
    }

    fs::path scratch;
};

} // namespace qvm_test
