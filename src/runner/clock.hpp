// The clock arithmetic that every deadline shares: the service's waits,
// the connections' steps, the holds' ends and devd's retries all keep
// their times on CLOCK_MONOTONIC and compare them here; the service and
// vantrelctl both count a timed hold's sleep by the wall clock's lead.
#pragma once

#include <ctime>

// Nanoseconds from now to when, on whichever clock both were read from;
// negative once when has passed.
long long nanoseconds_until(const struct timespec &when, const struct timespec &now);

// The same as a timeout for a wait: never negative.
struct timespec timeout_until(const struct timespec &when, const struct timespec &now);

// A CLOCK_MONOTONIC time the given seconds from now.
struct timespec deadline_after(long seconds);

// A timed hold's time counts the time the machine sleeps. No clock does
// on FreeBSD: CLOCK_MONOTONIC and CLOCK_UPTIME both come from the uptime,
// which stops while the machine is suspended, and CLOCK_BOOTTIME is only
// another name for CLOCK_UPTIME (sys/sys/_clock_id.h), unlike Linux's,
// which goes on. Linux's CLOCK_MONOTONIC stops too. So both sides
// keep their deadlines on CLOCK_MONOTONIC and watch how far the wall clock
// has run ahead of it: a jump in this lead of more than asleep_threshold_ns
// is a sleep, or a step of the wall clock (ntpd, date), which only a
// resume event can tell apart.
inline constexpr long long asleep_threshold_ns = 2000000000LL;
// CLOCK_REALTIME minus CLOCK_MONOTONIC now, in nanoseconds.
long long wall_clock_lead();
