// base64_file.cpp - decoding a base64 file in place through a bounded
// window, so that attachments of any size pass with constant memory.
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

#include "private_files.hpp"
#include "qv/qvcom.h"
#include "record_walk.hpp"
#include "common/unique_file.hpp"

namespace {

constexpr size_t kReadChunk = 64 * 1024;          // encoded bytes read at a time
constexpr size_t kWriteChunk = kReadChunk / 4 * 3; // at most this many decoded

// What each byte is to the decoder: its sextet, a blank to pass over,
// or the end of the text ("=" padding or a character outside the alphabet).
constexpr unsigned char kSkip = 0xFE;
constexpr unsigned char kStop = 0xFF;

constexpr std::array<unsigned char, 256> make_sextets() {
    std::array<unsigned char, 256> table{};
    table.fill(kStop);
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (unsigned char v = 0; v < 64; ++v) {
        table[static_cast<unsigned char>(alphabet[v])] = v;
    }
    for (unsigned char c : {' ', '\t', '\r', '\n'}) {
        table[c] = kSkip;
    }
    return table;
}
constexpr std::array<unsigned char, 256> kSextets = make_sextets();

// Decoder state carried from one chunk to the next.
class Base64Stream {
public:
    // Decodes `in` into `out` (room for n / 4 * 3 + 3 bytes); returns the
    // bytes written.  After padding or a foreign character it is done.
    size_t feed(const unsigned char *in, size_t n, unsigned char *out) {
        size_t i = 0;
        size_t written = 0;
        while (i < n && !done_) {
            if (held_ == 0) {
                const size_t quads = whole_quads(in + i, n - i, out + written);
                i += quads * 4;
                written += quads * 3;
                if (i == n) {
                    break;
                }
            }
            const unsigned char v = kSextets[in[i++]];
            if (v == kSkip) {
                continue;
            }
            if (v == kStop) {
                done_ = true;
                break;
            }
            written += push(v, out + written);
        }
        return written;
    }

    // Bytes are handed out as soon as their bits are in, so an
    // incomplete last quad has nothing left to give.
    void finish() { done_ = true; }

    bool done() const { return done_; }

private:
    // Decodes the run of complete groups of four alphabet characters at
    // the start of `in`; returns how many there were.
    static size_t whole_quads(const unsigned char *in, size_t n, unsigned char *out) {
        size_t quads = 0;
        for (; (quads + 1) * 4 <= n; ++quads) {
            const unsigned char *q = in + quads * 4;
            const unsigned a = kSextets[q[0]], b = kSextets[q[1]], c = kSextets[q[2]],
                           d = kSextets[q[3]];
            if ((a | b | c | d) >= 64) {
                break;
            }
            const unsigned v = a << 18 | b << 12 | c << 6 | d;
            unsigned char *o = out + quads * 3;
            o[0] = static_cast<unsigned char>(v >> 16);
            o[1] = static_cast<unsigned char>(v >> 8);
            o[2] = static_cast<unsigned char>(v);
        }
        return quads;
    }

    // Takes one sextet of a group begun across a blank or a chunk end;
    // returns the bytes it completed (0 or 1).
    size_t push(unsigned v, unsigned char *out) {
        bits_ = bits_ << 6 | v;
        const int held = ++held_;
        if (held == 1) {
            return 0;
        }
        *out = static_cast<unsigned char>(bits_ >> (8 - 2 * held));
        if (held == 4) {
            held_ = 0;
            bits_ = 0;
        }
        return 1;
    }

    unsigned bits_ = 0;
    int held_ = 0; // sextets of the current group so far
    bool done_ = false;
};

std::atomic<unsigned> gTempCounter{0};

std::filesystem::path temp_path_for(const char *path, const char *work_dir) {
    std::string dir = qvcom::detail::resolve_work_dir(work_dir);
    if (dir.empty()) {
        dir = std::filesystem::path(path).parent_path().string();
        if (!dir.empty()) {
            dir += '/';
        }
    }
    return dir + "B64_" + std::to_string(getpid()) + "_" + std::to_string(gTempCounter++) +
           ".TMP";
}

// Decodes `source` into `target`; the decoded size, or -1 on a read or
// write error.
int64_t decode_stream(std::FILE *source, std::FILE *target) {
    auto in = std::make_unique<std::array<unsigned char, kReadChunk>>();
    auto out = std::make_unique<std::array<unsigned char, kWriteChunk + 3>>();
    Base64Stream decoder;
    int64_t total = 0;
    while (!decoder.done()) {
        const size_t n = std::fread(in->data(), 1, in->size(), source);
        size_t produced = decoder.feed(in->data(), n, out->data());
        if (n < in->size()) {
            if (std::ferror(source)) {
                return -1;
            }
            decoder.finish();
        }
        if (std::fwrite(out->data(), 1, produced, target) != produced) {
            return -1;
        }
        total += static_cast<int64_t>(produced);
    }
    return std::fflush(target) == 0 ? total : -1;
}

// A file this small is decoded in memory and written back over itself:
// no temporary file to create and rename for every small attachment.
constexpr int64_t kInPlaceMax = 1 << 20;

// Decodes a small file in memory; the original is overwritten only once
// the decoded bytes are ready, and written back should that fail.
int64_t decode_in_place(const char *path) {
    qvcommon::UniqueFile file(std::fopen(path, "r+b"));
    std::string encoded;
    if (!file || !qvcom::detail::read_whole_file(file.get(), encoded)) {
        return -1;
    }
    std::string decoded(encoded.size() / 4 * 3 + 3, '\0');
    Base64Stream decoder;
    decoded.resize(decoder.feed(reinterpret_cast<const unsigned char *>(encoded.data()),
                                encoded.size(), reinterpret_cast<unsigned char *>(decoded.data())));
    const auto total = static_cast<int64_t>(decoded.size());
    if (!qvcom::detail::overwrite_file(file.get(), decoded.data(), decoded.size())) {
        qvcom::detail::overwrite_file(file.get(), encoded.data(), encoded.size());
        return -1;
    }
    return std::fclose(file.release()) == 0 ? total : -1;
}

// Puts the decoded file in the place of the original.
bool replace_file(const std::filesystem::path &from, const char *to) {
    std::error_code ec;
    std::filesystem::rename(from, to, ec);
    if (!ec) {
        return true;
    }
    // Another file system: copy over, then drop the temporary file.
    const bool copied = std::filesystem::copy_file(
        from, to, std::filesystem::copy_options::overwrite_existing, ec);
    std::filesystem::remove(from, ec);
    return copied;
}

} // namespace

extern "C" {

QVCOM_API int64_t com_convert_base64(const char *path, const char *work_dir) {
    if (path == nullptr || *path == '\0') {
        return -1;
    }
    try {
        std::error_code size_error;
        const auto size = std::filesystem::file_size(path, size_error);
        if (!size_error && size <= static_cast<uintmax_t>(kInPlaceMax)) {
            const int64_t decoded = decode_in_place(path);
            if (decoded < 0) {
                com_Log("QV Error: base64 decoding of %s failed", path);
            }
            return decoded;
        }
        qvcommon::UniqueFile source(std::fopen(path, "rb"));
        if (!source) {
            return -1;
        }
        const std::filesystem::path temp = temp_path_for(path, work_dir);
        qvcommon::UniqueFile target(qvcom::detail::open_private_file(temp.c_str(), "wb"));
        if (!target) {
            com_Log("QV Error: cannot create %s to decode %s", temp.c_str(), path);
            return -1;
        }
        const int64_t decoded = decode_stream(source.get(), target.get());
        source.reset();
        const bool closed = std::fclose(target.release()) == 0;
        std::error_code ec;
        if (decoded < 0 || !closed || !replace_file(temp, path)) {
            // The original stays as it was: nothing of it is lost.
            std::filesystem::remove(temp, ec);
            com_Log("QV Error: base64 decoding of %s failed", path);
            return -1;
        }
        return decoded;
    } catch (...) {
        return -1;
    }
}

} // extern "C"
