// Part files read once for the finishing steps (see part_bytes.hpp).
#include "mailread/part_bytes.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qv/qvcom.h"

namespace qvamz::mailread {
namespace {

constexpr int kUtf8Codepage = 65001;
// Code pages whose converter maps every ASCII byte to itself.
constexpr int kAsciiKeepingCodepages[] = {20127 /* us-ascii */, 28591 /* iso-8859-1 */, 1252};

// Eight bytes at a time while they are ASCII: most text is.
std::size_t AsciiRun(std::string_view bytes, std::size_t at)
{
    constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
    while (at + 8 <= bytes.size()) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + at, sizeof word);
        if (word & kHighBits)
            break;
        at += 8;
    }
    while (at < bytes.size() && static_cast<unsigned char>(bytes[at]) < 0x80)
        ++at;
    return at;
}

// Well-formed UTF-8 as Unicode defines it: no overlong forms, no
// surrogates, nothing past U+10FFFF, no sequence cut short.
bool IsStrictUtf8(std::string_view bytes)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    std::size_t i = 0;
    while ((i = AsciiRun(bytes, i)) < bytes.size()) {
        const unsigned lead = byte(i);
        std::size_t length = 0;
        unsigned low = 0x80, high = 0xBF; // the range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (bytes.size() - i < length || byte(i + 1) < low || byte(i + 1) > high)
            return false;
        for (std::size_t k = 2; k < length; ++k)
            if ((byte(i + k) & 0xC0) != 0x80)
                return false;
        i += length;
    }
    return true;
}

} // namespace

PartBytes::~PartBytes() { Forget(); }

void PartBytes::Forget()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    path_.clear();
    bytes_.clear();
}

bool PartBytes::Load(const std::string &path, std::size_t max)
{
    Forget();
    fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    struct stat status {};
    if (fd_ < 0 || ::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<std::uint64_t>(status.st_size) > max) {
        Forget();
        return false;
    }
    // One byte of room more than the size: a read that comes back short
    // with the whole size is the end, and a file that grew since shows.
    const auto size = static_cast<std::size_t>(status.st_size);
    std::size_t total = 0;
    bytes_.resize(size + 1);
    for (;;) {
        const ssize_t got = ::read(fd_, bytes_.data() + total, bytes_.size() - total);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            Forget();
            return false;
        }
        if (got == 0)
            break;
        total += static_cast<std::size_t>(got);
        if (total == size)
            break;
        if (total == bytes_.size()) { // the file grew since
            if (total > max) {
                Forget();
                return false;
            }
            bytes_.resize(std::min(total * 2, max + 1));
        }
    }
    bytes_.resize(total);
    path_ = path;
    return true;
}

bool PartBytes::Replace(std::string bytes)
{
    if (fd_ < 0)
        return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::pwrite(fd_, bytes.data() + done, bytes.size() - done,
                                       static_cast<off_t>(done));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            Forget();
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    // A file that grew needs no cut (an inode update saved).
    if (bytes.size() < bytes_.size() && ::ftruncate(fd_, static_cast<off_t>(bytes.size())) != 0) {
        Forget();
        return false;
    }
    bytes_ = std::move(bytes);
    return true;
}

bool ConvertsToItself(std::string_view bytes, char *charset, std::size_t charset_size)
{
    const int codepage = com_iso_codepage(0, charset, charset_size);
    if (codepage == kUtf8Codepage)
        return IsStrictUtf8(bytes);
    for (int keeping : kAsciiKeepingCodepages)
        if (codepage == keeping)
            return AsciiRun(bytes, 0) == bytes.size();
    return false;
}

} // namespace qvamz::mailread
