// The transport's clock and sleeper.  Retries, busy rounds, keepalive ticks
// and token renewal all ask these two functions for time, so tests can
// replace them and run without waiting.
#pragma once

#include <cstdint>
#include <functional>

namespace qvamz::clock {

using NowFn = std::function<std::int64_t()>; // seconds since 1970
using SleepFn = std::function<void(int milliseconds)>;

// The current time in seconds since 1970 (wall clock unless replaced).
std::int64_t Now();

// Blocks for `milliseconds` (nothing for 0 or less) unless replaced.
void SleepMs(int milliseconds);

// Replaces the clock and/or the sleeper for the lifetime of the object
// (an empty function keeps the current one).  Not nestable across threads;
// the connector has only one.
class ScopedOverride {
  public:
    ScopedOverride(NowFn now, SleepFn sleep);
    ~ScopedOverride();
    ScopedOverride(const ScopedOverride &) = delete;
    ScopedOverride &operator=(const ScopedOverride &) = delete;

  private:
    NowFn saved_now_;
    SleepFn saved_sleep_;
};

} // namespace qvamz::clock
