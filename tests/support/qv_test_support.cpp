// qv_test_support.cpp - see qv_test_support.hpp.
#include "qv_test_support.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>

#include "qv/qvcom.hpp"

namespace qvtest {

TempDir::TempDir()
{
    // Several test processes run at once (ctest -j): the pid keeps them
    // apart, the counter and random number keep objects of one apart.
    static std::atomic<unsigned> serial{0};
    std::random_device random;
    path_ = fs::temp_directory_path() /
            ("qv-test-" + std::to_string(::getpid()) + "-" + std::to_string(serial++) + "-" +
             std::to_string(random()));
    fs::create_directories(path_);
}

TempDir::~TempDir()
{
    if (std::getenv("QV_TEST_KEEP") != nullptr) {
        std::cout << "kept " << path_.string() << "\n";
        return;
    }
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path &path, std::string_view bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

unsigned mode_of(const fs::path &path)
{
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 07777;
}

Umask::Umask(unsigned mask) : saved_(::umask(mask)) {}
Umask::~Umask() { ::umask(saved_); }

ScopedEnv::ScopedEnv(const char *name, const char *value) : name_(name)
{
    if (const char *old = std::getenv(name))
        old_ = old;
    if (value)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
}

ScopedEnv::~ScopedEnv()
{
    if (old_)
        ::setenv(name_, old_->c_str(), 1);
    else
        ::unsetenv(name_);
}

std::size_t count_of(std::string_view text, std::string_view needle)
{
    if (needle.empty())
        return 0;
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string_view::npos;
         at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

LogCapture::LogCapture(const TempDir &dir, std::string_view name) : path_(dir.file(name))
{
    qvcom_set_log_file(path_.c_str());
}

LogCapture::~LogCapture() { qvcom_set_log_file(nullptr); }

qv_filetime filetime_utc(int year, int month, int day, int hour, int minute, int second)
{
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    constexpr std::int64_t kUnixEpochIn1601Seconds = 11644473600LL;
    return static_cast<qv_filetime>(timegm(&tm) + kUnixEpochIn1601Seconds) * kFiletimeSecond;
}

std::string base64_encode(std::string_view bytes, std::size_t line_length, std::string_view eol)
{
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t column = 0;
    auto put = [&](char c) {
        out.push_back(c);
        if (line_length > 0 && ++column == line_length) {
            out += eol;
            column = 0;
        }
    };
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t v = static_cast<std::uint8_t>(bytes[i]) << 16;
        if (n > 1)
            v |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
        if (n > 2)
            v |= static_cast<std::uint8_t>(bytes[i + 2]);
        put(kAlphabet[(v >> 18) & 63]);
        put(kAlphabet[(v >> 12) & 63]);
        put(n > 1 ? kAlphabet[(v >> 6) & 63] : '=');
        put(n > 2 ? kAlphabet[v & 63] : '=');
    }
    if (line_length > 0 && column > 0)
        out += eol;
    return out;
}

std::string escaped_bytes(std::string_view text)
{
    std::string out;
    for (const unsigned char c : text) {
        if ((c < 0x20 && c != '\n') || c >= 0x7F || c == '\\') {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02X", c);
            out += code;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string hex(std::string_view bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(kDigits[c >> 4]);
        out.push_back(kDigits[c & 15]);
    }
    return out;
}

std::string utf16le(std::u16string_view text)
{
    std::string bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

std::string sample_bytes(std::size_t size, std::uint32_t seed)
{
    std::string data(size, '\0');
    for (auto &c : data) {
        seed = seed * 1103515245 + 12345;
        c = static_cast<char>(seed >> 16);
    }
    return data;
}

std::string descramble(std::string_view scrambled)
{
    std::string plain;
    for (std::size_t k = 0; 1 + 2 * k + 1 < scrambled.size(); ++k) {
        const int pair = std::stoi(std::string(scrambled.substr(1 + 2 * k, 2)), nullptr, 16);
        plain.push_back(
            static_cast<char>((pair - qvcom_scramble_key(static_cast<int>(k))) & 0xff));
    }
    return plain;
}

void RecordDeleter::operator()(qv_message *msg) const
{
    com_ResetObject(msg);
    delete msg;
}

Record new_record(int msg_number)
{
    Record record(new qv_message{});
    record->msg_number = msg_number;
    return record;
}

qv_part &add_part(qv_message &msg, const std::string &work_dir, int type, std::string_view name,
                  const char *content)
{
    qv_part *part = com_AllocPart(&msg);
    part->part_type = type;
    set_text(part->file_name, name);
    if (content != nullptr) {
        const std::string_view bytes(content);
        write_file(qvcom::part_file_path(work_dir, msg.msg_number, msg.part_count), bytes);
        part->size = static_cast<std::uint32_t>(bytes.size());
    }
    ++msg.part_count;
    return *part;
}

qv_recipient &add_recipient(qv_message &msg, std::string_view name, std::string_view address,
                            int kind)
{
    qv_recipient *r = com_AllocRecip(&msg);
    set_text(r->name, name);
    set_text(r->address, address);
    r->kind = kind;
    ++msg.recipient_count;
    return *r;
}

} // namespace qvtest
