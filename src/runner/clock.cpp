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
