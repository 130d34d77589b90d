// qv_test_support.hpp - the fixtures every test folder needs: a private
// temporary folder, the host log read back, whole-file reads and writes,
// message records built with libqvcom's allocators, and reference encoders
// written independently of the code under test.
//
// Link the CMake target `qv_test_support`; include "qv_test_support.hpp".
// Nothing here depends on GoogleTest or on the plug-in.
//
//   qvtest::TempDir dir;                       // removed with its content
//   qvtest::LogCapture log(dir);               // com_Log lines go to dir/host.log
//   qvtest::write_file(dir.file("in.txt"), "x");
//   EXPECT_TRUE(log.has("expected line"));
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "qv/qvcom.h"

namespace qvtest {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, unique per process
// and object, removed with everything in it when the object goes (kept,
// and named on stdout, when QV_TEST_KEEP is set: to look at what a test
// left).
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const fs::path &path() const { return path_; }
    // The folder with a trailing separator, as the host hands folders over.
    std::string prefix() const { return path_.string() + "/"; }
    std::string file(std::string_view name) const { return prefix() + std::string(name); }

  private:
    fs::path path_;
};

// Whole-file helpers; a missing file reads as "".
std::string read_file(const fs::path &path);
void write_file(const fs::path &path, std::string_view bytes);

// Permission bits of a file or folder (not following a symbolic link),
// 07777 when it cannot be read.
unsigned mode_of(const fs::path &path);

// Sets the process's umask for as long as it lives.
class Umask {
  public:
    explicit Umask(unsigned mask);
    ~Umask();
    Umask(const Umask &) = delete;
    Umask &operator=(const Umask &) = delete;

  private:
    unsigned saved_;
};

// Sets (or, with nullptr, removes) an environment variable for the
// lifetime of the object, then restores it.
class ScopedEnv {
  public:
    ScopedEnv(const char *name, const char *value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

  private:
    const char *name_;
    std::optional<std::string> old_;
};

// How often `needle` occurs in `text`, matches not overlapping.
std::size_t count_of(std::string_view text, std::string_view needle);

// Points the host log (com_Log) at `name` inside `dir` for the lifetime of
// the object, then back to stderr.  The log flushes every entry, so text()
// shows all lines logged so far.
class LogCapture {
  public:
    explicit LogCapture(const TempDir &dir, std::string_view name = "host.log");
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    const std::string &path() const { return path_; }
    std::string text() const { return read_file(path_); }
    std::size_t count(std::string_view needle) const { return count_of(text(), needle); }
    bool has(std::string_view needle) const { return count(needle) > 0; }

  private:
    std::string path_;
};

// FILETIME (100 ns ticks since 1601-01-01 UTC) of a UTC calendar time,
// computed with timegm so that it does not share code with libqvcom.
qv_filetime filetime_utc(int year, int month, int day, int hour = 0, int minute = 0,
                         int second = 0);
constexpr qv_filetime kFiletimeSecond = 10000000ULL;

// Reference base64 (RFC 4648 alphabet, padded).  With line_length > 0,
// `eol` follows every line_length characters and the end of the text.
std::string base64_encode(std::string_view bytes, std::size_t line_length = 0,
                          std::string_view eol = "\r\n");
// Lower-case hex digits, two per byte.
std::string hex(std::string_view bytes);
// Text as a golden file holds it: bytes outside printable ASCII (line feeds
// excepted) and backslashes as \xNN, so that line ends and charsets show.
std::string escaped_bytes(std::string_view text);
// UTF-16LE bytes of a UTF-16 text, without a byte order mark.
std::string utf16le(std::u16string_view text);
// `size` deterministic bytes of every value (a linear congruential
// generator), for payloads that must survive unchanged.
std::string sample_bytes(std::size_t size, std::uint32_t seed = 12345);

// What the connector does with a scrambled "~" switch value: pairs of hex
// digits minus the shared key, byte k with key entry k mod 26.
std::string descramble(std::string_view scrambled);

// A zeroed record as the host hands it over; its sub-records are released
// by libqvcom.
struct RecordDeleter {
    void operator()(qv_message *msg) const;
};
using Record = std::unique_ptr<qv_message, RecordDeleter>;
Record new_record(int msg_number);

// Copies `text` into a fixed field, cut to fit with its terminator.
template <std::size_t N> void set_text(char (&field)[N], std::string_view text)
{
    const std::size_t n = text.size() < N ? text.size() : N - 1;
    text.copy(field, n);
    field[n] = '\0';
}

// Adds a counted part; its part file in `work_dir` holds `content`, or is
// not written when `content` is null.
qv_part &add_part(qv_message &msg, const std::string &work_dir, int type, std::string_view name,
                  const char *content);
qv_recipient &add_recipient(qv_message &msg, std::string_view name, std::string_view address,
                            int kind);

} // namespace qvtest
