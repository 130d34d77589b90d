// qv/qvcom.hpp - C++ conveniences on top of the libqvcom C interface
// (qv/qvcom.h), for the plug-in and the tools.  Header-only; every
// function calls the C interface or mirrors one of its fixed formats.
#ifndef QV_QVCOM_HPP
#define QV_QVCOM_HPP

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "qv/qvcom.h"

namespace qvcom {

// Longest directory and switch token the wrappers below take over.
inline constexpr size_t kMaxDirectoryLength = 4095;
inline constexpr size_t kMaxSwitchTokenLength = 4095;

// `text` with & < > " ' turned into XML entities (never cut).  Text after
// an embedded NUL is dropped, as the C interface sees C strings.
inline std::string xml_escape(std::string_view text) {
    constexpr size_t kLongestEntity = sizeof("&quot;") - 1;
    std::string buffer(text.substr(0, text.find('\0')));
    const size_t length = buffer.size();
    buffer.resize(length * kLongestEntity + 1, '\0');
    com_Escape(buffer.data(), buffer.size(), 1);
    buffer.resize(std::char_traits<char>::length(buffer.c_str()));
    return buffer;
}

// `text` with XML entities and numeric references undone (UTF-8).
inline std::string xml_unescape(std::string_view text) {
    std::string buffer(text.substr(0, text.find('\0')));
    com_Unescape(buffer.data());
    buffer.resize(std::char_traits<char>::length(buffer.c_str()));
    return buffer;
}

// "%sPRT%03d%02d.TMP": the file of part `index` of message `msg_number`.
inline std::string part_file_path(std::string_view work_dir, int msg_number, int index) {
    char name[64];
    std::snprintf(name, sizeof name, "PRT%03d%02d.TMP", msg_number, index);
    return std::string(work_dir) + name;
}

// Switch token `index`, or nothing past the last one.
inline std::optional<std::string> switch_token(int index) {
    std::string token(kMaxSwitchTokenLength + 1, '\0');
    if (com_GetParm(index, token.data(), token.size()) == 0) {
        return std::nullopt;
    }
    token.resize(std::char_traits<char>::length(token.c_str()));
    return token;
}

// Host directory `which` (QVCOM_DIR_BASE, QVCOM_DIR_WORK), ending with a
// separator, or nothing when the host did not set it.
inline std::optional<std::string> host_directory(int which) {
    std::string dir(kMaxDirectoryLength + 1, '\0');
    if (com_GetDirectory(which, dir.data(), dir.size()) == 0) {
        return std::nullopt;
    }
    dir.resize(std::char_traits<char>::length(dir.c_str()));
    return dir;
}

// FILETIME ticks (100 ns since 1601-01-01 UTC) and system_clock.
using filetime_ticks = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>;
inline constexpr std::chrono::seconds kFileTimeToUnixEpoch{11'644'473'600};

// Dates outside what system_clock holds (1677 to 2262 with nanoseconds)
// give its earliest or latest time point.
inline std::chrono::system_clock::time_point to_time_point(qv_filetime date) {
    using clock = std::chrono::system_clock;
    const auto earliest = std::chrono::duration_cast<filetime_ticks>(clock::duration::min()) +
                          kFileTimeToUnixEpoch;
    const auto latest = std::chrono::duration_cast<filetime_ticks>(clock::duration::max()) +
                        kFileTimeToUnixEpoch;
    if (date <= static_cast<qv_filetime>(earliest.count())) {
        return clock::time_point::min();
    }
    if (date >= static_cast<qv_filetime>(latest.count())) {
        return clock::time_point::max();
    }
    const auto since_1601 = filetime_ticks(static_cast<int64_t>(date));
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(since_1601 -
                                                                        kFileTimeToUnixEpoch));
}

// Times before 1601 become 0, the null date.
inline qv_filetime to_filetime(std::chrono::system_clock::time_point time) {
    // In ticks before adding: the epoch distance overflows nanoseconds.
    const auto ticks =
        std::chrono::duration_cast<filetime_ticks>(time.time_since_epoch()) + kFileTimeToUnixEpoch;
    return ticks.count() > 0 ? static_cast<qv_filetime>(ticks.count()) : 0;
}

} // namespace qvcom

#endif // QV_QVCOM_HPP
