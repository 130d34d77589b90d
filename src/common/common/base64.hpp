// Base64 (RFC 4648 alphabet) for encoded words, EWS content elements and
// attachment files.  Each caller decides what ends its input ("=", a
// foreign character) and what it skips; these pieces only do the bits.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qvcommon {

// 0..63 for a character of the alphabet; -1 for anything else ("=" too).
int Base64Sextet(char c);

// Collects 6-bit values and hands out each byte as soon as its 8 bits are
// in.  Bits of an incomplete last byte are dropped, as decoders must.
class Base64Bits {
public:
    // Takes one value 0..63; true when `byte` holds a completed byte.
    bool Push(int sextet, unsigned char &byte);
    // Forgets a partial byte (after "=" padding ends a group).
    void Reset() { bits_ = 0, held_ = 0; }

private:
    unsigned bits_ = 0;
    int held_ = 0;
};

// Decodes base64 text that arrives in pieces (a part body, a file read in
// windows): blanks and line ends are passed over, and "=" padding or any
// other character outside the alphabet ends the text.  Each byte is handed
// out as soon as its bits are in, so an incomplete last group gives what
// it holds.
class Base64Decoder {
public:
    // Decodes `n` bytes of `in` into `out`, which has room for n / 4 * 3 + 3
    // bytes; returns the bytes written.  Nothing more once done().
    std::size_t Feed(const unsigned char *in, std::size_t n, unsigned char *out);
    // Marks the text as complete.
    void Finish() { done_ = true; }
    bool done() const { return done_; }

private:
    std::size_t Push(unsigned sextet, unsigned char *out);

    unsigned bits_ = 0;
    int held_ = 0; // sextets of the current group so far
    bool done_ = false;
};

// Padded base64 of `size` bytes into `out`, which has room for
// (size + 2) / 3 * 4 characters; returns the characters written.
std::size_t Base64EncodeTo(const unsigned char *in, std::size_t size, char *out);
// Padded base64 of `bytes`, no line breaks.
std::string Base64Encode(std::string_view bytes);
// Decodes until the first "="; characters outside the alphabet (blanks
// agents put into long words) are skipped.
std::string Base64Decode(std::string_view text);

} // namespace qvcommon
