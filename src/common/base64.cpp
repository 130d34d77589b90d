#include "common/base64.hpp"

#include <array>
#include <cstdint>
#include <cstring>

namespace qvcommon {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// What each byte is to Base64Decoder: its sextet, a blank to pass over, or
// the end of the text.
constexpr unsigned char kSkip = 0xFE;
constexpr unsigned char kStop = 0xFF;

constexpr std::array<unsigned char, 256> make_sextets()
{
    std::array<unsigned char, 256> table{};
    table.fill(kStop);
    for (unsigned char v = 0; v < 64; ++v)
        table[static_cast<unsigned char>(kAlphabet[v])] = v;
    for (unsigned char c : {' ', '\t', '\r', '\n'})
        table[c] = kSkip;
    return table;
}
constexpr std::array<unsigned char, 256> kSextets = make_sextets();

// The sextet of each byte already moved to its place in a group's 24 bits,
// one table per position; anything but an alphabet character sets bit 24,
// so one comparison tells whether a group of four is whole.
constexpr std::uint32_t kNotSextet = 1u << 24;
using PlacedSextets = std::array<std::array<std::uint32_t, 256>, 4>;

constexpr PlacedSextets make_placed()
{
    PlacedSextets placed{};
    for (int position = 0; position < 4; ++position)
        for (int c = 0; c < 256; ++c)
            placed[position][c] = kSextets[c] < 64 ? std::uint32_t{kSextets[c]}
                                                         << (18 - 6 * position)
                                                   : kNotSextet;
    return placed;
}
constexpr PlacedSextets kPlaced = make_placed();

// Decodes the run of whole groups of four alphabet characters at the start
// of `in`; returns how many groups there were.
std::size_t whole_groups(const unsigned char *in, std::size_t n, unsigned char *out)
{
    std::size_t groups = 0;
    for (; (groups + 1) * 4 <= n; ++groups) {
        const unsigned char *q = in + groups * 4;
        const std::uint32_t v =
            kPlaced[0][q[0]] | kPlaced[1][q[1]] | kPlaced[2][q[2]] | kPlaced[3][q[3]];
        if (v >= kNotSextet)
            break;
        unsigned char *o = out + groups * 3;
        o[0] = static_cast<unsigned char>(v >> 16);
        o[1] = static_cast<unsigned char>(v >> 8);
        o[2] = static_cast<unsigned char>(v);
    }
    return groups;
}

// The two characters of every 12-bit value: three bytes take two look-ups.
using CharPairs = std::array<std::array<char, 2>, 4096>;
constexpr CharPairs MakeCharPairs()
{
    CharPairs pairs{};
    for (std::size_t v = 0; v < pairs.size(); ++v)
        pairs[v] = {kAlphabet[v >> 6], kAlphabet[v & 63]};
    return pairs;
}
constexpr CharPairs kCharPairs = MakeCharPairs();

} // namespace

int Base64Sextet(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

bool Base64Bits::Push(int sextet, unsigned char &byte)
{
    bits_ = ((bits_ << 6) | static_cast<unsigned>(sextet)) & 0xFFFFu;
    held_ += 6;
    if (held_ < 8)
        return false;
    held_ -= 8;
    byte = static_cast<unsigned char>(bits_ >> held_);
    return true;
}

std::size_t Base64Decoder::Feed(const unsigned char *in, std::size_t n, unsigned char *out)
{
    std::size_t i = 0, written = 0;
    while (i < n && !done_) {
        if (held_ == 0) { // at a group's start: whole groups go four at a time
            const std::size_t groups = whole_groups(in + i, n - i, out + written);
            i += groups * 4;
            written += groups * 3;
            if (i == n)
                break;
        }
        const unsigned char v = kSextets[in[i++]];
        if (v == kSkip)
            continue;
        if (v == kStop) {
            done_ = true;
            break;
        }
        written += Push(v, out + written);
    }
    return written;
}

// One sextet of a group that a blank or a piece's end interrupted; returns
// the bytes it completed (0 or 1).
std::size_t Base64Decoder::Push(unsigned sextet, unsigned char *out)
{
    bits_ = bits_ << 6 | sextet;
    const int held = ++held_;
    if (held == 1)
        return 0;
    *out = static_cast<unsigned char>(bits_ >> (8 - 2 * held));
    if (held == 4)
        held_ = 0, bits_ = 0;
    return 1;
}

std::size_t Base64EncodeTo(const unsigned char *in, std::size_t size, char *out)
{
    char *const start = out;
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3, out += 4) {
        const unsigned v = static_cast<unsigned>(in[i]) << 16 |
                           static_cast<unsigned>(in[i + 1]) << 8 | in[i + 2];
        std::memcpy(out, kCharPairs[v >> 12].data(), 2);
        std::memcpy(out + 2, kCharPairs[v & 0xFFF].data(), 2);
    }
    if (i < size) {
        const bool two = i + 1 < size;
        const unsigned v = static_cast<unsigned>(in[i]) << 16 |
                           (two ? static_cast<unsigned>(in[i + 1]) << 8 : 0u);
        out[0] = kAlphabet[v >> 18];
        out[1] = kAlphabet[(v >> 12) & 63];
        out[2] = two ? kAlphabet[(v >> 6) & 63] : '=';
        out[3] = '=';
        out += 4;
    }
    return static_cast<std::size_t>(out - start);
}

std::string Base64Encode(std::string_view bytes)
{
    std::string out((bytes.size() + 2) / 3 * 4, '\0');
    Base64EncodeTo(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), out.data());
    return out;
}

std::string Base64Decode(std::string_view text)
{
    std::string out;
    Base64Bits bits;
    unsigned char byte = 0;
    for (char c : text) {
        if (c == '=')
            break;
        const int v = Base64Sextet(c);
        if (v >= 0 && bits.Push(v, byte))
            out.push_back(static_cast<char>(byte));
    }
    return out;
}

} // namespace qvcommon
