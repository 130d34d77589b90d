// A text that holds a credential (password, access secret, bearer token).
// Its bytes are overwritten with OPENSSL_cleanse whenever the value is
// replaced, cleared, moved from or destroyed, so a freed buffer never keeps
// a secret for a later allocation or a core file to show.
#pragma once

#include <string>
#include <string_view>

namespace qvcommon {

// Overwrites the whole buffer of `text` (its capacity, not only its size)
// and empties it.
void WipeString(std::string &text) noexcept;

class SecretString {
  public:
    SecretString() = default;
    SecretString(const char *text) : SecretString(std::string_view(text ? text : "")) {}
    SecretString(const std::string &text) : SecretString(std::string_view(text)) {}
    SecretString(std::string_view text);
    SecretString(const SecretString &other) : SecretString(std::string_view(other.text_)) {}
    SecretString(SecretString &&other) noexcept;
    SecretString &operator=(const SecretString &other);
    SecretString &operator=(SecretString &&other) noexcept;
    ~SecretString() { WipeString(text_); }

    // Replaces the value; the old bytes are wiped first.  `text` may point
    // into this value.
    void assign(std::string_view text);
    void clear() noexcept { WipeString(text_); }

    bool empty() const noexcept { return text_.empty(); }
    std::size_t size() const noexcept { return text_.size(); }
    const char *c_str() const noexcept { return text_.c_str(); }
    const std::string &str() const noexcept { return text_; }
    operator const std::string &() const noexcept { return text_; }
    operator std::string_view() const noexcept { return text_; }

    friend bool operator==(const SecretString &a, std::string_view b) noexcept
    {
        return std::string_view(a.text_) == b;
    }

  private:
    std::string text_;
};

} // namespace qvcommon
