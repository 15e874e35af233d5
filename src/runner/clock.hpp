// The clock arithmetic that every deadline shares: the service's waits,
// the connections' steps, the holds' ends and devd's retries all keep
// their times on CLOCK_MONOTONIC and compare them here.
#pragma once

#include <ctime>

// Nanoseconds from now to when, on whichever clock both were read from;
// negative once when has passed.
long long nanoseconds_until(const struct timespec &when, const struct timespec &now);

// The same as a timeout for a wait: never negative.
struct timespec timeout_until(const struct timespec &when, const struct timespec &now);

// A CLOCK_MONOTONIC time the given seconds from now.
struct timespec deadline_after(long seconds);
