// secret_input.hpp - passwords and access secrets: where they come from
// (environment, file, a prompt without echo) and a holder that wipes its
// bytes when it goes.  Secrets never come from the command line, where
// every user of the machine could read them in ps.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace qvmigrate {

// A password, secret key or token.  Its bytes are overwritten
// (OPENSSL_cleanse) when it goes, is moved from or is assigned over; the
// builders reserve first so that growing never leaves a copy in freed
// memory.
class Secret {
  public:
    Secret() = default;
    explicit Secret(std::string value) : value_(std::move(value)) {}
    Secret(const Secret &other) : value_(other.value_) {}
    Secret(Secret &&other) noexcept : value_(std::move(other.value_)) { other.wipe(); }
    Secret &operator=(Secret other) noexcept {
        wipe();
        value_.swap(other.value_);
        return *this;
    }
    ~Secret() { wipe(); }

    // An empty secret with room for `capacity` bytes.
    static Secret with_capacity(size_t capacity);
    // The pieces one after the other, in one allocation.
    static Secret join(std::initializer_list<std::string_view> pieces);

    const std::string &reveal() const { return value_; }
    bool empty() const { return value_.empty(); }
    size_t size() const { return value_.size(); }
    // Growing past the capacity moves the bytes into a larger buffer and
    // wipes the old one.
    void append(std::string_view piece);
    void push_back(char c) { append(std::string_view(&c, 1)); }
    // Removes a trailing "\r" or "\n".
    void trim_line_end();

  private:
    void wipe() noexcept;
    std::string value_;
};

// Where secrets are read; the system one for the program, fakes in tests.
class SecretInput {
  public:
    virtual ~SecretInput() = default;
    // Nothing when the variable is not set.
    virtual std::optional<Secret> from_env(const std::string &variable) = 0;
    // The first line of the file; nothing (and `error`) when unreadable.
    virtual std::optional<Secret> from_file(const std::string &path, std::string &error) = 0;
    // Whether a person can be asked (a terminal is attached).
    virtual bool can_prompt() = 0;
    virtual std::optional<Secret> prompt(const std::string &label) = 0;
};

// Reads the real environment and then blanks the variable's value in
// place and removes it, so /proc/PID/environ (ps e) no longer shows it;
// prompts on /dev/tty with echo off.
class SystemSecretInput : public SecretInput {
  public:
    std::optional<Secret> from_env(const std::string &variable) override;
    std::optional<Secret> from_file(const std::string &path, std::string &error) override;
    bool can_prompt() override;
    std::optional<Secret> prompt(const std::string &label) override;
};

} // namespace qvmigrate
