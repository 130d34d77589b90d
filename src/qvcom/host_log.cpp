// host_log.cpp - the host log: one time-stamped entry per com_Log call,
// flushed at once so that a crash loses nothing already logged.
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "private_files.hpp"
#include "qv/qvcom.h"
#include "common/unique_file.hpp"

namespace {

// Plug-ins log from the host's thread, but the host and test helpers may
// log from others; one lock keeps entries whole.
std::mutex gLogMutex;
qvcommon::UniqueFile gLogFile;

constexpr size_t kStampSize = sizeof("2026-12-06 15:20:56 ");

std::string local_time_stamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[kStampSize];
    if (std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &local) == 0) {
        return "0000-00-00 00:00:00 ";
    }
    return stamp;
}

std::string format_text(const char *format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int needed = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (needed < 0) {
        return std::string("(unformattable log line) ") + format;
    }
    std::string text(static_cast<size_t>(needed) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(needed));
    return text;
}

void write_entry(const std::string &entry) {
    std::lock_guard lock(gLogMutex);
    std::FILE *out = gLogFile ? gLogFile.get() : stderr;
    std::fwrite(entry.data(), 1, entry.size(), out);
    std::fflush(out);
}

} // namespace

extern "C" {

QVCOM_API int qvcom_set_log_file(const char *path) {
    qvcommon::UniqueFile file;
    if (path != nullptr && *path != '\0') {
        // The log holds subjects, addresses and folder names: owner only.
        file.reset(qvcom::detail::open_private_file(path, "a"));
    }
    std::lock_guard lock(gLogMutex);
    gLogFile = std::move(file);
    return gLogFile || path == nullptr || *path == '\0' ? 1 : 0;
}

QVCOM_API void qvcom_close_log(void) {
    std::lock_guard lock(gLogMutex);
    gLogFile.reset();
}

QVCOM_API void com_Log(const char *format, ...) {
    if (format == nullptr) {
        return;
    }
    try {
        va_list args;
        va_start(args, format);
        std::string entry = local_time_stamp() + format_text(format, args);
        va_end(args);
        if (entry.back() != '\n') {
            entry.push_back('\n');
        }
        write_entry(entry);
    } catch (...) {
        // Out of memory while logging: nothing sensible is left to do.
    }
}

} // extern "C"
