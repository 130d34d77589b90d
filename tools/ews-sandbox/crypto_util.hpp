// Small wrappers over OpenSSL libcrypto used by the accounts, the token
// issuer and the SigV4 verifier.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sandbox {

// Seconds since 1970 (UTC).  Code that checks expiry or clock skew takes
// one of these as a parameter so tests can move time without sleeping.
using UnixSeconds = std::int64_t;
UnixSeconds system_unix_now();

std::string sha256_raw(std::string_view data);
std::string sha256_hex(std::string_view data);
std::string hmac_sha256_raw(std::string_view key, std::string_view data);
std::string to_hex(std::string_view bytes);

// `count` bytes from the OpenSSL CSPRNG, hex encoded (2 * count characters).
std::string random_hex(std::size_t count);

// PBKDF2-HMAC-SHA256 of password with salt, 32 bytes.
std::string pbkdf2_sha256(std::string_view password, std::string_view salt, int iterations);

// Compares in time independent of where the texts differ.
bool constant_time_equal(std::string_view a, std::string_view b);

// Strict standard base64 (padding required, no white space); nullopt when
// the text is not valid base64.
std::optional<std::string> base64_decode(std::string_view text);

} // namespace sandbox
