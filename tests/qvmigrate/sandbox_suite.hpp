// A suite whose tests share one ews-sandbox data folder, filled once by
// the suite's own SetUpTestSuite through open(); every test gets a
// scratch folder of its own.  `Suite` keeps the statics of each suite
// apart.
#pragma once

#include <functional>

#include "dump_compare.hpp"
#include "sandbox_process.hpp"
#include "tool_runner.hpp"

#ifndef QV_SANDBOX_PATH
#error "QV_SANDBOX_PATH must name the ews-sandbox executable"
#endif

namespace qvm_test {

template <class Suite> class SandboxSuite : public ::testing::Test {
  protected:
    static inline TempDir *temp = nullptr;
    static inline qvmigrate::SandboxServer *server = nullptr;
    static inline std::string setup_failure;

    static fs::path data() { return temp->path() / "sandbox"; }

    // Makes the data folder and runs `fill`; what it throws fails every test.
    static void open(const std::function<void()> &fill) {
        temp = new TempDir;
        try {
            fs::create_directories(data());
            fill();
        } catch (const std::exception &e) {
            setup_failure = e.what();
        }
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
        delete temp;
        temp = nullptr;
    }
    static void start_server() {
        server = new qvmigrate::SandboxServer(QV_SANDBOX_PATH, data(), temp->path() / "sandbox.log", 30s);
    }

    // `ews-sandbox ARGS... --data DATA`; throws with its output when it fails.
    static void sandbox(std::vector<std::string> args) {
        args.insert(args.begin(), QV_SANDBOX_PATH);
        args.insert(args.end(), {"--data", data().string()});
        const qvmigrate::CommandResult result = qvmigrate::run_command(args, 300s);
        if (result.status != 0)
            throw std::runtime_error(args[1] + " failed: " + result.output);
    }
    static void add_user(const std::string &mailbox, const std::string &password) {
        sandbox({"user", "add", "--mailbox", mailbox, "--password", password});
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

    qvmigrate::MailboxDump dump(const std::string &mailbox, const std::string &name) const {
        sandbox({"dump", "--mailbox", mailbox, "--out", (scratch / name).string()});
        return qvmigrate::load_dump(scratch / name);
    }

    fs::path scratch;
};

} // namespace qvm_test
