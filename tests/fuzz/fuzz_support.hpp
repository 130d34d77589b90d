// Shared by the libFuzzer targets: a private scratch folder per process and
// EWS answers written the way the transport stores them.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "qv/qvcom.h"
#include "transport/response_writer.hpp"

namespace qvfuzz {

// "/dev/shm/qv_fuzz_NAME_PID/" (0700), made once; the log goes nowhere.
inline const std::string &scratch_dir(const char *name)
{
    static const std::string dir = [name] {
        std::filesystem::path base = std::filesystem::exists("/dev/shm")
                                         ? std::filesystem::path("/dev/shm")
                                         : std::filesystem::temp_directory_path();
        base /= std::string("qv_fuzz_") + name + "_" + std::to_string(getpid());
        std::filesystem::create_directories(base);
        std::filesystem::permissions(base, std::filesystem::perms::owner_all);
        qvcom_set_log_file("/dev/null");
        return base.string() + "/";
    }();
    return dir;
}

inline std::string read_bytes(const std::string &path)
{
    std::string text;
    if (std::FILE *in = std::fopen(path.c_str(), "rb")) {
        char chunk[4096];
        for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, in)) > 0;)
            text.append(chunk, got);
        std::fclose(in);
    }
    return text;
}

inline bool write_bytes(const std::string &path, std::string_view bytes)
{
    std::FILE *out = std::fopen(path.c_str(), "wb");
    if (out == nullptr)
        return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return std::fclose(out) == 0 && ok;
}

// Writes `answer` into `path` as the transport would store it: through the
// tag-line formatter, fed in two pieces split at `split` (any split must
// give the same file).  With `raw`, the bytes go in unformatted, as a
// damaged or hand-made file would.
inline bool write_answer(const std::string &path, std::string_view answer, bool raw,
                         std::size_t split)
{
    if (raw)
        return write_bytes(path, answer);
    qvamz::TagLineFormatter formatter;
    std::string formatted;
    split = answer.empty() ? 0 : split % (answer.size() + 1);
    formatter.Feed(answer.substr(0, split), formatted);
    formatter.Feed(answer.substr(split), formatted);
    return write_bytes(path, formatted);
}

// The fuzzer's input, read from the front.
class Input {
  public:
    Input(const uint8_t *data, std::size_t size)
        : rest_(reinterpret_cast<const char *>(data), size)
    {
    }
    uint8_t byte()
    {
        if (rest_.empty())
            return 0;
        const auto b = static_cast<uint8_t>(rest_.front());
        rest_.remove_prefix(1);
        return b;
    }
    // The text up to the next line end (which is dropped).
    std::string_view line()
    {
        const std::size_t end = rest_.find('\n');
        const std::string_view text = rest_.substr(0, end);
        rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
        return text;
    }
    std::string_view rest() const { return rest_; }

  private:
    std::string_view rest_;
};

} // namespace qvfuzz
