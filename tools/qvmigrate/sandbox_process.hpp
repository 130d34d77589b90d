// sandbox_process.hpp - running ews-sandbox: its one-shot commands (user
// add, seed, dump) and its server, whose "listening URL ca=PATH" line
// tells where it is.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/types.h>

namespace qvmigrate {

struct CommandResult {
    int status = -1;    // exit status; -1 when it could not run or was killed
    std::string output; // stdout and stderr together
};

// Runs argv[0] with the arguments, no shell; kills it after `timeout`.
CommandResult run_command(const std::vector<std::string> &argv, std::chrono::seconds timeout);

struct ListeningLine {
    std::string url;     // https://127.0.0.1:PORT/EWS/Exchange.asmx
    std::string ca_file; // PEM of the sandbox's certificate authority
};

// Reads "listening https://127.0.0.1:PORT/EWS/Exchange.asmx ca=PATH".
std::optional<ListeningLine> parse_listening_line(const std::string &line);

// Options added to every `serve` started here (tests and the demo), split
// at white space, e.g. QV_SANDBOX_SERVE_ARGS="--mime-rewrite --latency 50":
// the one place to run the same tests against a differently behaving server.
inline constexpr const char *kServeArgsVariable = "QV_SANDBOX_SERVE_ARGS";
std::vector<std::string> extra_serve_args();

class SandboxServer {
  public:
    // Starts `program serve --data DIR --port 0 OPTIONS...` (and
    // extra_serve_args()) with its output going to `log_file`, and waits for
    // the listening line.  Throws std::runtime_error with the server's
    // output when it does not come.
    SandboxServer(const std::filesystem::path &program, const std::filesystem::path &data_dir,
                  const std::filesystem::path &log_file, std::chrono::seconds wait,
                  const std::vector<std::string> &options = {});
    ~SandboxServer();
    SandboxServer(const SandboxServer &) = delete;
    SandboxServer &operator=(const SandboxServer &) = delete;

    const ListeningLine &where() const { return where_; }

    // `signal_number`, then SIGKILL if it has not ended after a few
    // seconds.  Returns its exit status (-1 when killed by a signal); once
    // it has ended, the same status again.
    int stop(int signal_number = SIGTERM);
    // Whether it still runs (reaps it when it has ended).
    bool running();

  private:
    pid_t pid_ = -1;
    int status_ = -1;
    ListeningLine where_;
};

} // namespace qvmigrate
