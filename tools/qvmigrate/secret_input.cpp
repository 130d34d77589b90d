// secret_input.cpp - reading secrets from the environment, files and the
// terminal.
#include "secret_input.hpp"

#include "private_files.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cerrno>

#include <openssl/crypto.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace qvmigrate {

namespace {

constexpr size_t kMaxSecretLength = 4096;

// The first line of `fd`, read a byte at a time into a buffer that never
// grows (a reallocation would leave a copy behind); nothing when it is
// longer than kMaxSecretLength or the read fails.
std::optional<Secret> read_first_line(int fd) {
    Secret line = Secret::with_capacity(kMaxSecretLength + 1);
    char c = 0;
    ssize_t got = 0;
    while ((got = read(fd, &c, 1)) == 1 && c != '\n') {
        if (line.size() == kMaxSecretLength)
            return std::nullopt;
        line.push_back(c);
    }
    if (got < 0)
        return std::nullopt;
    line.trim_line_end();
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
    // The whole buffer: a shorter value or a moved-from short string leaves
    // bytes of the secret past size().
    value_.resize(value_.capacity());
    OPENSSL_cleanse(value_.data(), value_.size());
    value_.clear();
}

Secret Secret::with_capacity(size_t capacity) {
    Secret secret;
    secret.value_.reserve(capacity);
    return secret;
}

Secret Secret::join(std::initializer_list<std::string_view> pieces) {
    size_t total = 0;
    for (std::string_view piece : pieces)
        total += piece.size();
    Secret joined = with_capacity(total);
    for (std::string_view piece : pieces)
        joined.append(piece);
    return joined;
}

void Secret::append(std::string_view piece) {
    if (value_.size() + piece.size() > value_.capacity()) {
        Secret larger = with_capacity(std::max(2 * value_.capacity(), value_.size() + piece.size()));
        larger.value_.append(value_);
        value_.swap(larger.value_); // `larger` wipes the old buffer as it goes
    }
    value_.append(piece);
}

void Secret::trim_line_end() {
    while (!value_.empty() && (value_.back() == '\n' || value_.back() == '\r'))
        value_.pop_back();
}

std::optional<Secret> SystemSecretInput::from_env(const std::string &variable) {
    char *value = std::getenv(variable.c_str());
    if (value == nullptr)
        return std::nullopt;
    Secret secret{std::string(value)};
    // The value lives in the environment block that /proc shows: blank it.
    OPENSSL_cleanse(value, std::strlen(value));
    unsetenv(variable.c_str());
    return secret;
}

std::optional<Secret> SystemSecretInput::from_file(const std::string &path, std::string &error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    // The mode is checked on what was opened, as ssh does for keys: a file
    // that others can read has leaked its secret already.
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        close(fd);
        error = "cannot read " + path;
        return std::nullopt;
    }
    error = secret_file_problem(path, status.st_mode, status.st_uid, geteuid());
    if (!error.empty()) {
        close(fd);
        return std::nullopt;
    }
    std::optional<Secret> line = read_first_line(fd);
    close(fd);
    if (!line)
        error = path + ": the first line is longer than " + std::to_string(kMaxSecretLength) +
                " bytes, or the file cannot be read";
    return line;
}

bool SystemSecretInput::can_prompt() {
    return isatty(STDIN_FILENO) == 1;
}

std::optional<Secret> SystemSecretInput::prompt(const std::string &label) {
    const int fd = open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    Secret answer = Secret::with_capacity(kMaxSecretLength);
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
            answer.push_back(c);
        if (got < 0) // interrupted (Ctrl-C): no half-typed password
            answer = Secret();
        if (write(fd, "\n", 1) < 0) {
            // The answer is in; a lost line feed on the terminal does not matter.
        }
    }
    close(fd);
    answer.trim_line_end();
    return answer;
}

} // namespace qvmigrate
