#include "runner/clock.hpp"

long long
nanoseconds_until(const timespec &when, const timespec &now) {
    return (static_cast<long long>(when.tv_sec) - now.tv_sec) * 1000000000LL +
           (when.tv_nsec - now.tv_nsec);
}

timespec
timeout_until(const timespec &when, const timespec &now) {
    long long ns = nanoseconds_until(when, now);
    if (ns < 0)
        ns = 0;
    return {static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
}

timespec
deadline_after(long seconds) {
    timespec at;
    clock_gettime(CLOCK_MONOTONIC, &at);
    at.tv_sec += seconds;
    return at;
}

// Both clocks are read together, so what one advanced beyond the other
// between two calls is the time the monotonic clock stood still, or the
// wall clock was set.
long long
wall_clock_lead() {
    timespec realtime, monotonic;
    clock_gettime(CLOCK_REALTIME, &realtime);
    clock_gettime(CLOCK_MONOTONIC, &monotonic);
    return (static_cast<long long>(realtime.tv_sec) - monotonic.tv_sec) * 1000000000LL +
           (realtime.tv_nsec - monotonic.tv_nsec);
}
