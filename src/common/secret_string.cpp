#include "common/secret_string.hpp"

#include <openssl/crypto.h>

namespace qvcommon {

void WipeString(std::string &text) noexcept
{
    // capacity() bytes plus the terminator: the short-string buffer too.
    OPENSSL_cleanse(text.data(), text.capacity() + 1);
    text.clear();
}

SecretString::SecretString(std::string_view text)
{
    text_.reserve(text.size()); // one allocation: no unwiped smaller buffer left behind
    text_.assign(text);
}

SecretString::SecretString(SecretString &&other) noexcept : SecretString()
{
    text_.swap(other.text_);
    // A short value is copied by swap rather than handed over: wipe what
    // stays behind in `other`.
    other.clear();
}

SecretString &SecretString::operator=(const SecretString &other)
{
    if (this != &other)
        assign(other.text_);
    return *this;
}

SecretString &SecretString::operator=(SecretString &&other) noexcept
{
    if (this != &other) {
        clear();
        text_.swap(other.text_);
        other.clear();
    }
    return *this;
}

void SecretString::assign(std::string_view text)
{
    std::string fresh;
    fresh.reserve(text.size());
    fresh.assign(text); // before the wipe: `text` may be part of the old value
    clear();
    text_.swap(fresh);
    WipeString(fresh); // holds the wiped old buffer, or short-string copy bytes
}

} // namespace qvcommon
