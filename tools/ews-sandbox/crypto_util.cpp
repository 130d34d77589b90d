#include "crypto_util.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <chrono>
#include <stdexcept>
#include <vector>

namespace sandbox {

UnixSeconds system_unix_now() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

std::string sha256_raw(std::string_view data) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char *>(data.data()), data.size(), digest);
    return std::string(reinterpret_cast<const char *>(digest), sizeof digest);
}

std::string sha256_hex(std::string_view data) { return to_hex(sha256_raw(data)); }

std::string hmac_sha256_raw(std::string_view key, std::string_view data) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
              reinterpret_cast<const unsigned char *>(data.data()), data.size(), mac, &len))
        throw std::runtime_error("HMAC-SHA256 failed");
    return std::string(reinterpret_cast<const char *>(mac), len);
}

std::string to_hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 0x0f];
    }
    return out;
}

std::string random_hex(std::size_t count) {
    std::vector<unsigned char> buf(count);
    if (RAND_bytes(buf.data(), static_cast<int>(buf.size())) != 1)
        throw std::runtime_error("the random generator failed");
    return to_hex(std::string_view(reinterpret_cast<const char *>(buf.data()), buf.size()));
}

std::string pbkdf2_sha256(std::string_view password, std::string_view salt, int iterations) {
    unsigned char out[32];
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char *>(salt.data()),
                          static_cast<int>(salt.size()), iterations, EVP_sha256(), sizeof out,
                          out) != 1)
        throw std::runtime_error("PBKDF2 failed");
    return std::string(reinterpret_cast<const char *>(out), sizeof out);
}

bool constant_time_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::optional<std::string> base64_decode(std::string_view text) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                              (c >= '0' && c <= '9') || c == '+' || c == '/';
        const bool padding = c == '=' && i + 2 >= text.size() &&
                             (i + 1 == text.size() || text[i + 1] == '=');
        if (!alphabet && !padding)
            return std::nullopt;
    }
    std::string out(text.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                                  reinterpret_cast<const unsigned char *>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0)
        return std::nullopt;
    // EVP_DecodeBlock counts the padding as zero bytes: drop them.
    std::size_t len = static_cast<std::size_t>(n);
    if (text.size() >= 1 && text.back() == '=')
        --len;
    if (text.size() >= 2 && text[text.size() - 2] == '=')
        --len;
    out.resize(len);
    return out;
}

} // namespace sandbox
