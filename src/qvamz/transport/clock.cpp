#include "transport/clock.hpp"

#include <chrono>
#include <thread>

namespace qvamz::clock {
namespace {

std::int64_t SystemNow()
{
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

void SystemSleep(int milliseconds)
{
    if (milliseconds > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

NowFn &CurrentNow()
{
    static NowFn now = SystemNow;
    return now;
}

SleepFn &CurrentSleep()
{
    static SleepFn sleep = SystemSleep;
    return sleep;
}

} // namespace

std::int64_t Now() { return CurrentNow()(); }

void SleepMs(int milliseconds) { CurrentSleep()(milliseconds); }

ScopedOverride::ScopedOverride(NowFn now, SleepFn sleep)
    : saved_now_(CurrentNow()), saved_sleep_(CurrentSleep())
{
    if (now)
        CurrentNow() = std::move(now);
    if (sleep)
        CurrentSleep() = std::move(sleep);
}

ScopedOverride::~ScopedOverride()
{
    CurrentNow() = std::move(saved_now_);
    CurrentSleep() = std::move(saved_sleep_);
}

} // namespace qvamz::clock
