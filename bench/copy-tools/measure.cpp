// bench_measure OUT_FILE COMMAND [ARGS...]
//
// Runs COMMAND and writes one line to OUT_FILE: wall seconds, user and system
// CPU seconds (microseconds kept) and peak RSS in KiB, from wait4() on that
// child alone, so a server the command talks to is never counted.  Exits with
// the command's status (128 + signal when it was killed).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

double Seconds(const timeval &t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_measure OUT_FILE COMMAND [ARGS...]\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("bench_measure: fork");
        return 1;
    }
    if (child == 0) {
        execvp(argv[2], argv + 2);
        std::fprintf(stderr, "bench_measure: cannot run %s: %s\n", argv[2], std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::perror("bench_measure: wait4");
            return 1;
        }
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::FILE *out = std::fopen(argv[1], "w");
    if (!out || std::fprintf(out, "%.6f %.6f %.6f %ld\n", wall, Seconds(usage.ru_utime),
                             Seconds(usage.ru_stime), usage.ru_maxrss) < 0 ||
        std::fclose(out) != 0) {
        std::fprintf(stderr, "bench_measure: cannot write %s\n", argv[1]);
        return 1;
    }
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}
