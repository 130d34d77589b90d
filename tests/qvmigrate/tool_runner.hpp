// Runs the qvmigrate program the way a person or a script does, and
// watches what /proc shows of it while it runs (which is why it spawns it
// itself: run_command passes no environment and mixes stdout and stderr).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "json_util.hpp"
#include "test_support.hpp"

extern char **environ;

namespace qvm_test {

using namespace std::chrono_literals;

struct ToolRun {
    int status = -1;
    std::string out, err;
    std::string seen_cmdline, seen_environ; // what /proc showed while it ran
};

// Starts qvmigrate with extra environment variables, stdin /dev/null and
// stdout and stderr going to files in `scratch`; its pid, or -1.
inline pid_t spawn_qvmigrate(const std::vector<std::string> &args,
                             const std::vector<std::string> &extra_env, const fs::path &scratch) {
    std::vector<std::string> argv = {QV_QVMIGRATE_PATH}, envs;
    argv.insert(argv.end(), args.begin(), args.end());
    for (char **e = environ; *e != nullptr; ++e)
        envs.emplace_back(*e);
    envs.insert(envs.end(), extra_env.begin(), extra_env.end());
    auto pointers = [](std::vector<std::string> &strings) {
        std::vector<char *> list;
        for (auto &s : strings)
            list.push_back(s.data());
        list.push_back(nullptr);
        return list;
    };
    std::vector<char *> argp = pointers(argv), envp = pointers(envs);

    const fs::path out = scratch / "stdout", err = scratch / "stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? pid : -1;
}

// Runs qvmigrate to its end (see spawn_qvmigrate).  While it runs,
// /proc/PID/cmdline is read throughout, and /proc/PID/environ once the log
// shows the job past reading its secrets.
inline ToolRun run_qvmigrate(const std::vector<std::string> &args,
                  const std::vector<std::string> &extra_env, const fs::path &scratch,
                  const fs::path &log = {}) {
    ToolRun run;
    const pid_t pid = spawn_qvmigrate(args, extra_env, scratch);
    if (pid < 0)
        return run;
    const auto proc = fs::path("/proc") / std::to_string(pid);
    const auto deadline = std::chrono::steady_clock::now() + 300s;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        run.seen_cmdline += read_file(proc / "cmdline");
        if (!log.empty() && read_file(log).find("qvmigrate: switches:") != std::string::npos)
            run.seen_environ += read_file(proc / "environ");
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = read_file(scratch / "stdout");
    run.err = read_file(scratch / "stderr");
    return run;
}

// The parts one after the other: a command line put together from pieces.
inline std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

inline std::string env(const char *name, const std::string &value) {
    return std::string(name) + "=" + value;
}

// One count of the "totals" of a --json summary, -1 when it is not there.
inline std::int64_t total(const std::string &json_out, const char *key) {
    const qvmigrate::JsonParse parsed = qvmigrate::parse_json(json_out);
    EXPECT_TRUE(parsed.root) << parsed.error << json_out;
    return qvmigrate::json_integer(qvmigrate::json_member(parsed.root.get(), "totals"), key, 0, 1'000'000)
        .value_or(-1);
}
inline std::int64_t total(const ToolRun &run, const char *key) { return total(run.out, key); }

} // namespace qvm_test
