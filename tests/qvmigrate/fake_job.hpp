// Jobs against the stand-in connector (fake_plugin/): mailboxes
// "alice@fake" (the fixed source) and "bob@fake", whose written items go to
// `store`/written.txt, one line each, when its side has store_switch().
#pragma once

#include <sstream>

#include "tool_runner.hpp"

namespace qvm_test {

class FakeJobTest : public ::testing::Test {
  protected:
    TempDir temp;
    fs::path store = temp.path() / "store";
    fs::path state = temp.path() / "state";

    void SetUp() override { fs::create_directories(store); }

    static std::vector<std::string> side(const std::string &prefix, const std::string &user) {
        return {"--" + prefix + "server", "fake://server", "--" + prefix + "user", user,
                "--" + prefix + "password-env", user == "alice@fake" ? "ALICE_PW" : "BOB_PW"};
    }
    std::vector<std::string> store_switch(const std::string &prefix, const std::string &more = "") const {
        return {"--" + prefix + "switches",
                "/FAKESTORE \"" + store.string() + "\"" + (more.empty() ? "" : " " + more)};
    }
    // `args`, then each of `more`, then the plug-in, state folder and --json.
    std::vector<std::string> job(std::vector<std::string> args,
                                 std::initializer_list<std::vector<std::string>> more) const {
        for (const auto &part : more)
            args.insert(args.end(), part.begin(), part.end());
        args.insert(args.end(), {"--plugin", QV_FAKE_PLUGIN_PATH, "--state", state.string(), "--json"});
        return args;
    }
    ToolRun run(std::vector<std::string> args, std::initializer_list<std::vector<std::string>> more) {
        return run_qvmigrate(job(std::move(args), more),
                             {env("ALICE_PW", "alice-pw"), env("BOB_PW", "bob-pw"), env("WRONG_PW", "nope")},
                             temp.path());
    }

    std::vector<std::string> written() const {
        std::vector<std::string> lines;
        std::istringstream in(read_file(store / "written.txt"));
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
};

} // namespace qvm_test
