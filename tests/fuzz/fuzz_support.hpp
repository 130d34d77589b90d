// Shared by the libFuzzer targets: a private scratch folder per process and
// EWS answers written the way the transport stores them.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/unique_file.hpp"
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
    qvcommon::ReadWholeFile(path, text);
    return text;
}

inline bool write_bytes(const std::string &path, std::string_view bytes)
{
    const qvcommon::UniqueFile out = qvcommon::OpenFile(path, "wb");
    return out && std::fwrite(bytes.data(), 1, bytes.size(), out.get()) == bytes.size() &&
           std::fflush(out.get()) == 0;
}

// `answer` as the transport stores it: through the tag-line formatter, fed
// in two pieces split at `split` (any split must give the same text).
inline std::string stored_form(std::string_view answer, std::size_t split)
{
    qvamz::TagLineFormatter formatter;
    std::string formatted;
    split = answer.empty() ? 0 : split % (answer.size() + 1);
    formatter.Feed(answer.substr(0, split), formatted);
    formatter.Feed(answer.substr(split), formatted);
    return formatted;
}

// Writes `answer` into `path` in its stored form; with `raw`, the bytes go
// in unformatted, as a damaged or hand-made file would.
inline bool write_answer(const std::string &path, std::string_view answer, bool raw,
                         std::size_t split)
{
    return write_bytes(path, raw ? std::string(answer) : stored_form(answer, split));
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
