// text_codec.hpp - the encodings the record archive and the summaries use:
// base64, SHA-256, UTF-8 validity, and FILETIME as ISO 8601 UTC text.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "qv/record.h"

namespace qvmigrate {

// Standard alphabet with "=" padding, no line breaks.
std::string base64_encode(std::string_view bytes);
// Strict: only the standard alphabet, correct padding, no whitespace.
std::optional<std::string> base64_decode(std::string_view text);

// SHA-256 over data that arrives in pieces.
class Sha256Digest {
  public:
    Sha256Digest();
    ~Sha256Digest();
    Sha256Digest(const Sha256Digest &) = delete;
    Sha256Digest &operator=(const Sha256Digest &) = delete;

    void update(const void *data, size_t size);
    // Lower-case hex; "" when the digest failed.  Ends the digest.
    std::string hex();

  private:
    struct Context;
    std::unique_ptr<Context> context_;
    bool ok_ = false;
};

// Lower-case hex SHA-256 of a text, or of a file (nothing when it cannot
// be read).
std::string sha256_hex(std::string_view bytes);
std::optional<std::string> sha256_file_hex(const std::filesystem::path &path);

bool is_valid_utf8(std::string_view text);

// "2026-12-06T15:20:56.1234567Z": every tick of the FILETIME shown.
std::string filetime_to_iso(qv_filetime date);
// Reads the form above, or without fraction, or "YYYY-MM-DD" (midnight
// UTC).  Nothing for other text or dates before 1601.
std::optional<qv_filetime> iso_to_filetime(std::string_view text);

// Decimal digits only, no sign, no overflow.
std::optional<std::uint64_t> parse_decimal_u64(std::string_view text);

} // namespace qvmigrate
