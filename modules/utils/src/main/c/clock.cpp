#include "clock.h"

#include <chrono>
#include <ctime>

namespace Utils {
namespace {
ClockFunction calendarOverride = nullptr;
ClockFunction monotonicOverride = nullptr;
}  // namespace

int64_t calendar_ms() {
    if (calendarOverride) return calendarOverride();
    return static_cast<int64_t>(std::time(nullptr)) * 1000;
}

int64_t monotonic_ns() {
    if (monotonicOverride) return monotonicOverride();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void set_calendar_clock(ClockFunction clock) { calendarOverride = clock; }
void set_monotonic_clock(ClockFunction clock) { monotonicOverride = clock; }

}  // namespace Utils
