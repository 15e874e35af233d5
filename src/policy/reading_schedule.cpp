#include "policy/reading_schedule.hpp"

#include "runner/clock.hpp"

#include <cstdio>

static timespec next_reading(const reading_schedule &schedule);

// Between readings while watched; devd's events come in between when the
// firmware sends them.
static constexpr long reading_interval_seconds = 60;

static timespec
next_reading(const reading_schedule &schedule) {
    timespec at = schedule.read_at;
    at.tv_sec += reading_interval_seconds;
    return at;
}

bool
reading_time_left(const reading_schedule &schedule, bool watched, timespec *left) {
    if (!watched)
        return false;
    *left = {};
    if (schedule.watching)
        *left = timeout_until(next_reading(schedule), deadline_after(0));
    return true;
}

bool
reading_due(reading_schedule &schedule, bool watched) {
    if (!watched) {
        schedule.watching = schedule.asked = false;
        return false;
    }
    bool due = !schedule.watching || schedule.asked ||
               nanoseconds_until(next_reading(schedule), deadline_after(0)) <= 0;
    schedule.watching = true;
    schedule.asked = false;
    return due;
}

void
reading_taken(reading_schedule &schedule) {
    schedule.read_at = deadline_after(0);
    schedule.watching = true;
}

void
format_reading_field(char *out, std::size_t capacity, const char *name, int value, bool known) {
    if (known)
        std::snprintf(out, capacity, "%s=%d", name, value);
    else
        std::snprintf(out, capacity, "%s=unknown", name);
}
