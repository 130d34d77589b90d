// scramble.cpp - the host's scrambling of secrets in switch strings.  The
// plug-in restores them with the same key table; the table is fixed for
// good, since scrambled values are stored in job files.
#include <array>
#include <cstdint>

#include "qv/qvcom.h"

namespace {

constexpr int kKeyLength = 26;
constexpr std::array<int, kKeyLength> kScrambleKey = {
    17, -23, 5,  38, -11, 29, -36, 2,   14, -7,  33, -19, 26,
    -2, 9,   -31, 21, -14, 37, -27, 6,  -39, 12, 31,  -5,  24,
};

constexpr char kHexDigits[] = "0123456789abcdef";

} // namespace

extern "C" {

QVCOM_API int qvcom_scramble_key(int k) {
    return kScrambleKey[static_cast<size_t>(((k % kKeyLength) + kKeyLength) % kKeyLength)];
}

QVCOM_API int qvcom_scramble(const char *plain, char *out, size_t out_size) {
    if (out == nullptr || out_size == 0) {
        return 0;
    }
    out[0] = '\0';
    if (plain == nullptr) {
        return 0;
    }
    size_t length = 0;
    while (plain[length] != '\0') {
        ++length;
    }
    if (out_size < 2 + 2 * length) { // "~", two digits a byte, terminator
        return 0;
    }
    size_t pos = 0;
    out[pos++] = '~';
    for (size_t k = 0; k < length; ++k) {
        const auto byte = static_cast<uint8_t>(plain[k]);
        const auto shifted = static_cast<uint8_t>(byte + qvcom_scramble_key(static_cast<int>(k % kKeyLength)));
        out[pos++] = kHexDigits[shifted >> 4];
        out[pos++] = kHexDigits[shifted & 0x0f];
    }
    out[pos] = '\0';
    return 1;
}

} // extern "C"
