// demo.cpp - `qvmigrate demo`: sandbox up, two mailboxes, seed, copy, dump
// both, compare, summary, sandbox down.
#include "demo.hpp"

#include <fstream>
#include <iostream>
#include <stdexcept>
#include <system_error>

#include <stdlib.h>
#include <unistd.h>

#include "cli.hpp"
#include "compare_calendar.hpp"
#include "dump_compare.hpp"
#include "folder_list.hpp"
#include "host_environment.hpp"
#include "plugin_loader.hpp"
#include "private_files.hpp"
#include "sandbox_process.hpp"
#include "text_codec.hpp"

namespace qvmigrate {

namespace fs = std::filesystem;

namespace {

constexpr const char *kSourceMailbox = "alice@example.com";
constexpr const char *kTargetMailbox = "bob@example.com";
constexpr auto kToolTimeout = std::chrono::seconds(120);
constexpr auto kStartTimeout = std::chrono::seconds(30);

// The demo's folder: given with --keep (kept), or a temporary one (removed).
class DemoFolder {
  public:
    explicit DemoFolder(const std::string &keep) : keep_(!keep.empty()) {
        if (keep_) {
            dir_ = fs::absolute(keep);
            std::error_code error;
            if (fs::exists(dir_, error) && !fs::is_empty(dir_, error))
                throw UsageError("--keep " + keep + ": exists and is not empty; give a new folder");
            make_private_dir(dir_, "demo folder");
            return;
        }
        std::string pattern = (fs::temp_directory_path() / "qvmigrate-demo-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("cannot create a temporary folder in " +
                                     fs::temp_directory_path().string());
        dir_ = pattern;
    }
    ~DemoFolder() {
        std::error_code error;
        if (!keep_)
            fs::remove_all(dir_, error);
    }
    DemoFolder(const DemoFolder &) = delete;
    DemoFolder &operator=(const DemoFolder &) = delete;

    const fs::path &dir() const { return dir_; }
    bool kept() const { return keep_; }

  private:
    fs::path dir_;
    bool keep_;
};

std::string random_password() {
    std::ifstream random("/dev/urandom", std::ios::binary);
    std::string bytes(12, '\0');
    if (!random.read(bytes.data(), static_cast<std::streamsize>(bytes.size())))
        throw std::runtime_error("cannot read /dev/urandom");
    return base64_encode(bytes);
}

void sandbox_tool(const fs::path &sandbox, std::vector<std::string> args, const char *what) {
    args.insert(args.begin(), sandbox.string());
    const CommandResult result = run_command(args, kToolTimeout);
    if (result.status != 0)
        throw std::runtime_error(std::string("ews-sandbox ") + what + " failed: " + result.output);
}

void step(std::ostream &out, bool json, const std::string &text) {
    if (!json)
        out << "== " << text << std::endl;
}

} // namespace

int run_demo(const CommandLine &line, std::ostream &out) {
    const bool json = line.json;
    const fs::path sandbox = find_sandbox(line.sandbox);
    const fs::path plugin = find_plugin(line.plugin);
    DemoFolder folder(line.keep_dir);
    const fs::path data = folder.dir() / "sandbox";
    make_private_dir(data, "sandbox data folder");

    step(out, json, "setting up the sandbox in " + folder.dir().string());
    const Secret source_password(random_password()), target_password(random_password());
    sandbox_tool(sandbox, {"user", "add", "--data", data.string(), "--mailbox", kSourceMailbox,
                           "--password", source_password.reveal()}, "user add");
    sandbox_tool(sandbox, {"user", "add", "--data", data.string(), "--mailbox", kTargetMailbox,
                           "--password", target_password.reveal()}, "user add");
    sandbox_tool(sandbox, {"seed", "--data", data.string(), "--mailbox", kSourceMailbox, "--demo"},
                 "seed");

    SandboxServer server(sandbox, data, folder.dir() / "sandbox.log", kStartTimeout);
    step(out, json, "sandbox listening at " + server.where().url);

    const std::string state = line.state.empty() ? (folder.dir() / "state").string() : line.state;
    HostEnvironment env(state, line.log);
    Progress progress(!json && isatty(STDERR_FILENO) == 1, std::cerr);
    JobSettings settings;
    settings.plugin = plugin;
    settings.transport.ca_file = server.where().ca_file;
    settings.limits = limits_from(line);
    settings.progress = &progress;
    const Connection from{server.where().url, kSourceMailbox, {}};
    const Connection to{server.where().url, kTargetMailbox, {}};
    Credentials from_credentials, to_credentials;
    from_credentials.password = source_password;
    to_credentials.password = target_password;

    step(out, json, std::string("copying ") + kSourceMailbox + " to " + kTargetMailbox);
    JobSummary summary = run_copy(env, settings, from, from_credentials, to, to_credentials,
                                  folder.dir() / "stage", folder.kept());
    summary.command = "demo";

    step(out, json, "checking the target against the source");
    const fs::path source_dump = folder.dir() / "dump-source";
    const fs::path target_dump = folder.dir() / "dump-target";
    sandbox_tool(sandbox, {"dump", "--data", data.string(), "--mailbox", kSourceMailbox, "--out",
                           source_dump.string()}, "dump");
    sandbox_tool(sandbox, {"dump", "--data", data.string(), "--mailbox", kTargetMailbox, "--out",
                           target_dump.string()}, "dump");
    summary.check = compare_dumps(load_dump(source_dump), load_dump(target_dump));
    step(out, json, "checking the calendars occurrence by occurrence");
    for (std::string &difference : compare_calendars(env, settings, from, from_credentials, to, to_credentials,
                                                     folder.dir() / "calendars")) {
        summary.check->differences.push_back(std::move(difference));
        summary.check->passed = false;
    }
    server.stop();

    if (summary.exit_status == kExitOk && !summary.check->passed)
        summary.exit_status = kExitItemsFailed;
    if (json) {
        out << summary_json(summary);
    } else {
        print_summary_table(out, summary);
        if (!folder.kept())
            out << "(the demo folder, log included, is removed; keep it with --keep DIR)\n";
    }
    return summary.exit_status;
}

} // namespace qvmigrate
