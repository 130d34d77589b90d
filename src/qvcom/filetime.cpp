// filetime.cpp - FILETIME values (100 ns units since 1601-01-01 UTC):
// conversions, offsets and display text.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>

#include "c_buffer.hpp"
#include "qv/qvcom.h"

using namespace qvcom::detail;

namespace {

constexpr uint64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kTicksPerMinute = 60 * static_cast<int64_t>(kTicksPerSecond);
// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDifferenceSeconds = 11'644'473'600;
constexpr uint64_t kUnixEpochTicks = kEpochDifferenceSeconds * kTicksPerSecond;
constexpr uint64_t kMaxTicks = std::numeric_limits<uint64_t>::max();

constexpr const char *kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char *kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct CivilTime {
    int year, month, day, hour, minute, second;
};

// UTC calendar fields of a FILETIME, for any value (no time_t limits).
CivilTime utc_fields(qv_filetime date) {
    using namespace std::chrono;
    const uint64_t seconds = date / kTicksPerSecond;
    const auto day_count = static_cast<int64_t>(seconds / 86400);
    const auto second_of_day = static_cast<int>(seconds % 86400);
    const year_month_day ymd{sys_days{year{1601} / January / 1} + days{day_count}};
    return {static_cast<int>(ymd.year()), static_cast<int>(static_cast<unsigned>(ymd.month())),
            static_cast<int>(static_cast<unsigned>(ymd.day())), second_of_day / 3600,
            second_of_day / 60 % 60, second_of_day % 60};
}

} // namespace

extern "C" {

QVCOM_API int com_DateIsNull(qv_filetime date) {
    return date == 0 ? 1 : 0;
}

QVCOM_API void com_OffsetFileTimeVal(qv_filetime *date, int minutes) {
    if (date == nullptr) {
        return;
    }
    // Callers pass fields of the byte-packed record, which need not be
    // aligned: the value is copied in and out.
    qv_filetime value;
    std::memcpy(&value, date, sizeof value);
    // A null date means "no date" and stays one.
    if (value == 0) {
        return;
    }
    const int64_t delta = minutes * kTicksPerMinute;
    if (delta >= 0) {
        const auto up = static_cast<uint64_t>(delta);
        value = value > kMaxTicks - up ? kMaxTicks : value + up;
    } else {
        const auto down = static_cast<uint64_t>(-delta);
        value = value > down ? value - down : 1; // stays a date, the earliest one
    }
    std::memcpy(date, &value, sizeof value);
}

QVCOM_API void com_LogFileTime(const char *title, qv_filetime date) {
    const CivilTime t = utc_fields(date);
    com_Log("%s: %04d-%02d-%02d %02d:%02d:%02d UTC", title != nullptr ? title : "", t.year,
            t.month, t.day, t.hour, t.minute, t.second);
}

QVCOM_API void com_DateDisplayText(qv_filetime date, char *out, size_t out_size) {
    copy_to_buffer({}, out, out_size);
    if (date == 0) {
        return;
    }
    const std::time_t seconds = static_cast<std::time_t>(com_FileTimeToUnix(date));
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr || local.tm_wday < 0 || local.tm_wday > 6 ||
        local.tm_mon < 0 || local.tm_mon > 11) {
        return;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d", kDayNames[local.tm_wday],
                  local.tm_mday, kMonthNames[local.tm_mon], local.tm_year + 1900, local.tm_hour,
                  local.tm_min);
    copy_to_buffer(text, out, out_size);
}

QVCOM_API qv_filetime com_FileTimeNow(void) {
    using namespace std::chrono;
    const auto since_unix =
        duration_cast<duration<int64_t, std::ratio<1, kTicksPerSecond>>>(
            system_clock::now().time_since_epoch());
    return kUnixEpochTicks + static_cast<uint64_t>(since_unix.count());
}

QVCOM_API qv_filetime com_UnixToFileTime(int64_t unix_seconds) {
    if (unix_seconds <= -kEpochDifferenceSeconds) {
        return 0; // 1601 or earlier: no date
    }
    const auto seconds_since_1601 = static_cast<uint64_t>(unix_seconds + kEpochDifferenceSeconds);
    if (seconds_since_1601 > kMaxTicks / kTicksPerSecond) {
        return kMaxTicks;
    }
    return seconds_since_1601 * kTicksPerSecond;
}

QVCOM_API int64_t com_FileTimeToUnix(qv_filetime date) {
    // Whole seconds, rounded down, also before 1970.
    return static_cast<int64_t>(date / kTicksPerSecond) - kEpochDifferenceSeconds;
}

} // extern "C"
