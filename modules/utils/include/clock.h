// The program's two clocks, replaceable so that tests can stand on either side of a date.
#pragma once

#include <cstdint>

namespace Utils {

// Milliseconds since 1970-01-01 00:00:00 UTC, with one-second resolution (whole seconds * 1000).
int64_t calendar_ms();
// A monotonic time in nanoseconds.
int64_t monotonic_ns();

// Test seam: replaces a clock until called again with nullptr. Not thread-safe; set it before work starts.
using ClockFunction = int64_t (*)();
void set_calendar_clock(ClockFunction clock);
void set_monotonic_clock(ClockFunction clock);

}  // namespace Utils
