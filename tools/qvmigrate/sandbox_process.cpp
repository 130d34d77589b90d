// sandbox_process.cpp - spawning ews-sandbox and talking to its output.
#include "sandbox_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "json_util.hpp"

extern char **environ;

namespace qvmigrate {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollStep = std::chrono::milliseconds(50);
constexpr auto kStopGrace = std::chrono::seconds(10);

std::vector<char *> argv_pointers(const std::vector<std::string> &argv) {
    std::vector<char *> pointers;
    for (const std::string &arg : argv)
        pointers.push_back(const_cast<char *>(arg.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

class FileActions {
  public:
    FileActions() { posix_spawn_file_actions_init(&actions_); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
    FileActions(const FileActions &) = delete;
    FileActions &operator=(const FileActions &) = delete;
    posix_spawn_file_actions_t *get() { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
};

// Waits for the child to end within `limit`; its status, or nothing.
std::optional<int> wait_for(pid_t pid, Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    while (true) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (done < 0)
            return -1;
        if (Clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(kPollStep);
    }
}

} // namespace

CommandResult run_command(const std::vector<std::string> &argv, std::chrono::seconds timeout) {
    CommandResult result;
    int pipe_fds[2];
    if (argv.empty() || pipe2(pipe_fds, O_CLOEXEC) != 0)
        return result;
    FileActions actions;
    posix_spawn_file_actions_adddup2(actions.get(), pipe_fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(actions.get(), pipe_fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    auto pointers = argv_pointers(argv);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0].c_str(), actions.get(), nullptr, pointers.data(), environ);
    close(pipe_fds[1]);
    if (spawned != 0) {
        close(pipe_fds[0]);
        result.output = "cannot start " + argv[0];
        return result;
    }
    const auto deadline = Clock::now() + timeout;
    char buffer[4096];
    bool killed = false;
    while (true) {
        pollfd fd{pipe_fds[0], POLLIN, 0};
        const int ready = poll(&fd, 1, 100);
        if (ready > 0) {
            const ssize_t got = read(pipe_fds[0], buffer, sizeof buffer);
            if (got <= 0)
                break;
            result.output.append(buffer, static_cast<size_t>(got));
        }
        if (Clock::now() >= deadline && !killed) {
            kill(pid, SIGKILL);
            killed = true;
            result.output += "\n(killed after " + std::to_string(timeout.count()) + " s)";
        }
    }
    close(pipe_fds[0]);
    result.status = wait_for(pid, std::chrono::hours(1)).value_or(-1);
    if (killed)
        result.status = -1;
    return result;
}

std::optional<ListeningLine> parse_listening_line(const std::string &line) {
    static constexpr std::string_view kPrefix = "listening ";
    static constexpr std::string_view kCa = " ca=";
    if (!line.starts_with(kPrefix))
        return std::nullopt;
    const size_t ca = line.find(kCa, kPrefix.size());
    if (ca == std::string::npos)
        return std::nullopt;
    ListeningLine where;
    where.url = line.substr(kPrefix.size(), ca - kPrefix.size());
    where.ca_file = line.substr(ca + kCa.size());
    while (!where.ca_file.empty() && (where.ca_file.back() == '\r' || where.ca_file.back() == '\n'))
        where.ca_file.pop_back();
    if (!where.url.starts_with("https://") || where.ca_file.empty())
        return std::nullopt;
    return where;
}

std::vector<std::string> extra_serve_args() {
    std::vector<std::string> args;
    const char *value = std::getenv(kServeArgsVariable);
    std::istringstream words(value ? value : "");
    for (std::string word; words >> word;)
        args.push_back(word);
    return args;
}

SandboxServer::SandboxServer(const std::filesystem::path &program,
                             const std::filesystem::path &data_dir,
                             const std::filesystem::path &log_file, std::chrono::seconds wait,
                             const std::vector<std::string> &options) {
    FileActions actions;
    posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, log_file.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(actions.get(), STDOUT_FILENO, STDERR_FILENO);
    posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<std::string> argv = {program.string(), "serve", "--data", data_dir.string(),
                                     "--port", "0"};
    argv.insert(argv.end(), options.begin(), options.end());
    const auto extra = extra_serve_args();
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto pointers = argv_pointers(argv);
    if (posix_spawn(&pid_, argv[0].c_str(), actions.get(), nullptr, pointers.data(), environ) != 0)
        throw std::runtime_error("cannot start " + program.string());

    const auto deadline = Clock::now() + wait;
    while (Clock::now() < deadline) {
        std::ifstream in(log_file);
        std::string line;
        while (std::getline(in, line)) {
            if (auto where = parse_listening_line(line)) {
                where_ = *where;
                return;
            }
        }
        if (wait_for(pid_, std::chrono::milliseconds(0))) {
            pid_ = -1;
            break; // ended without listening
        }
        std::this_thread::sleep_for(kPollStep);
    }
    stop();
    throw std::runtime_error("ews-sandbox did not start: " +
                             read_text_file(log_file).value_or("(no output)"));
}

SandboxServer::~SandboxServer() {
    stop();
}

bool SandboxServer::running() {
    if (pid_ <= 0)
        return false;
    if (const auto status = wait_for(pid_, std::chrono::milliseconds(0))) {
        status_ = *status;
        pid_ = -1;
    }
    return pid_ > 0;
}

int SandboxServer::stop(int signal_number) {
    if (pid_ <= 0)
        return status_;
    const pid_t pid = pid_;
    pid_ = -1;
    kill(pid, signal_number);
    if (auto status = wait_for(pid, kStopGrace))
        return status_ = *status;
    kill(pid, SIGKILL);
    return status_ = wait_for(pid, kStopGrace).value_or(-1);
}

} // namespace qvmigrate
