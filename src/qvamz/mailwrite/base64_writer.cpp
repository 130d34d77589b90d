// Base64 output: input is gathered into chunks that hold whole lines (54
// bytes per line of 72 characters) and encoded three bytes at a time.
#include "mailwrite/base64_writer.hpp"
#include "common/base64.hpp"
#include "common/unique_file.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace qvamz {
namespace {

constexpr std::size_t kLineBytes = kBase64LineChars / 4 * 3; // 54
constexpr std::size_t kChunkLines = 64;
constexpr std::size_t kChunkBytes = kLineBytes * kChunkLines; // a multiple of 3 and 54



} // namespace

Base64Writer::Base64Writer(std::FILE *out, Base64Lines lines) : out_(out), lines_(lines)
{
    pending_.reserve(kChunkBytes);
    // Each line: 72 characters and CRLF (one byte to spare).
    encoded_.resize(kChunkLines * (kBase64LineChars + 2) + 1);
}

void Base64Writer::Write(const void *data, std::size_t size)
{
    auto *bytes = static_cast<const unsigned char *>(data);
    while (size > 0) {
        std::size_t take = std::min(size, kChunkBytes - pending_.size());
        pending_.insert(pending_.end(), bytes, bytes + take);
        bytes += take;
        size -= take;
        if (pending_.size() == kChunkBytes) {
            EncodeChunk(pending_.data(), pending_.size());
            pending_.clear();
        }
    }
}

void Base64Writer::Finish()
{
    if (!pending_.empty())
        EncodeChunk(pending_.data(), pending_.size());
    pending_.clear();
}

// Encodes up to one chunk.  Only the last chunk of an input can be shorter
// than kChunkBytes, so every line but the last is complete.
void Base64Writer::EncodeChunk(const unsigned char *data, std::size_t size)
{
    char *dst = encoded_.data();
    std::size_t used = 0;
    if (lines_ == Base64Lines::kUnbroken) {
        used = qvcommon::Base64EncodeTo(data, size, dst);
    } else {
        for (std::size_t at = 0; at < size; at += kLineBytes) {
            std::size_t n = std::min(kLineBytes, size - at);
            used += qvcommon::Base64EncodeTo(data + at, n, dst + used);
            dst[used++] = '\r';
            dst[used++] = '\n';
        }
    }
    Put(dst, used);
}

void Base64Writer::Put(const char *text, std::size_t size)
{
    if (size == 0)
        return;
    if (std::fwrite(text, 1, size, out_) != size)
        ok_ = false;
    chars_written_ += size;
}

bool WriteFileBase64(std::FILE *out, const std::string &path, Base64Lines lines)
{
    qvcommon::UniqueFile in(std::fopen(path.c_str(), "rb"));
    if (!in)
        return false;
    return WriteStreamBase64(out, in.get(), lines);
}

bool WriteStreamBase64(std::FILE *out, std::FILE *in, Base64Lines lines)
{
    Base64Writer writer(out, lines);
    std::array<unsigned char, 65536> buffer;
    std::size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), in)) > 0)
        writer.Write(buffer.data(), got);
    writer.Finish();
    return !std::ferror(in) && writer.ok();
}

} // namespace qvamz
