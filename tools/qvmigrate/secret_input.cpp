// secret_input.cpp - reading secrets from the environment, files and the
// terminal.
#include "secret_input.hpp"

#include <cstdlib>
#include <cstring>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace qvmigrate {

namespace {

constexpr size_t kMaxSecretLength = 4096;

std::string strip_line_end(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

// Echo off for as long as it lives.
class EchoOff {
  public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (tcgetattr(fd_, &saved_) == 0) {
            termios quiet = saved_;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            active_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
        }
    }
    ~EchoOff() {
        if (active_)
            tcsetattr(fd_, TCSAFLUSH, &saved_);
    }
    EchoOff(const EchoOff &) = delete;
    EchoOff &operator=(const EchoOff &) = delete;

  private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

} // namespace

void Secret::wipe() noexcept {
    if (!value_.empty())
        explicit_bzero(value_.data(), value_.size());
    value_.clear();
}

std::optional<Secret> SystemSecretInput::from_env(const std::string &variable) {
    char *value = std::getenv(variable.c_str());
    if (value == nullptr)
        return std::nullopt;
    Secret secret{std::string(value)};
    // The value lives in the environment block that /proc shows: blank it.
    explicit_bzero(value, std::strlen(value));
    unsetenv(variable.c_str());
    return secret;
}

std::optional<Secret> SystemSecretInput::from_file(const std::string &path, std::string &error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return std::nullopt;
    }
    std::string line;
    std::getline(in, line);
    Secret secret{strip_line_end(std::move(line))};
    if (secret.reveal().size() > kMaxSecretLength) {
        error = path + ": the first line is longer than " + std::to_string(kMaxSecretLength) + " bytes";
        return std::nullopt;
    }
    return secret;
}

bool SystemSecretInput::can_prompt() {
    return isatty(STDIN_FILENO) == 1;
}

std::optional<Secret> SystemSecretInput::prompt(const std::string &label) {
    const int fd = open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string answer;
    {
        EchoOff quiet(fd);
        const std::string question = label + ": ";
        if (write(fd, question.data(), question.size()) < 0) {
            close(fd);
            return std::nullopt;
        }
        char c = 0;
        ssize_t got = 0;
        while ((got = read(fd, &c, 1)) == 1 && c != '\n' && answer.size() < kMaxSecretLength)
            answer += c;
        if (got < 0) { // interrupted (Ctrl-C): no half-typed password
            explicit_bzero(answer.data(), answer.size());
            answer.clear();
        }
        if (write(fd, "\n", 1) < 0) {
            // The answer is in; a lost line feed on the terminal does not matter.
        }
    }
    close(fd);
    return Secret{strip_line_end(std::move(answer))};
}

} // namespace qvmigrate
