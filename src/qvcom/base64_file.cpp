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
#include "common/base64.hpp"
#include "common/unique_file.hpp"

namespace {

constexpr size_t kReadChunk = 64 * 1024;          // encoded bytes read at a time
constexpr size_t kWriteChunk = kReadChunk / 4 * 3; // at most this many decoded

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
    qvcommon::Base64Decoder decoder;
    int64_t total = 0;
    while (!decoder.done()) {
        const size_t n = std::fread(in->data(), 1, in->size(), source);
        size_t produced = decoder.Feed(in->data(), n, out->data());
        if (n < in->size()) {
            if (std::ferror(source)) {
                return -1;
            }
            decoder.Finish();
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
    if (!file || !qvcommon::ReadWholeFile(file.get(), encoded)) {
        return -1;
    }
    std::string decoded(encoded.size() / 4 * 3 + 3, '\0');
    qvcommon::Base64Decoder decoder;
    decoded.resize(decoder.Feed(reinterpret_cast<const unsigned char *>(encoded.data()),
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
