#include "frame/descramble.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/hex.hpp"
#include "frame/session.hpp"
#include "qv/qvcom.h"

namespace qvamz {
namespace {

// Entry k mod 26 of the host's key table, subtracted modulo 256.
std::optional<std::string> Descramble(std::string_view hex)
{
    constexpr int kKeyEntries = 26;
    if (hex.size() % 2 != 0)
        return std::nullopt;
    std::string plain;
    for (std::size_t k = 0; k < hex.size() / 2 && plain.size() < kDescrambledMax; ++k) {
        int high = qvcommon::HexDigitValue(hex[2 * k]),
            low = qvcommon::HexDigitValue(hex[2 * k + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        std::int64_t key = qvcom_scramble_key(static_cast<int>(k % kKeyEntries));
        auto byte = static_cast<unsigned>(((high * 16 + low - key) % 256 + 256) % 256);
        if (byte == 0) // would end the text early downstream
            return std::nullopt;
        plain.push_back(static_cast<char>(byte));
    }
    return plain;
}

} // namespace

bool DescrambleValue(std::string &value)
{
    if (value.empty() || value.front() != '~')
        return true;
    std::optional<std::string> plain = Descramble(std::string_view(value).substr(1));
    if (!plain) {
        value.clear();
        com_Log("QV Warning: a scrambled switch value is malformed and was ignored");
        return false;
    }
    value = std::move(*plain);
    return true;
}

} // namespace qvamz
