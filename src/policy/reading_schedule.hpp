// When a kernel reading that matters only under some condition is due
// (the battery floor's level, the heat guard's temperature): at once on
// entering the condition, after news that asked for one, and once a minute
// while it lasts; never outside it, so no timer runs then.
#pragma once

#include <cstddef>
#include <ctime>

struct reading_schedule {
    bool watching;    // the condition held at the last look
    bool asked;       // news asked for a reading
    timespec read_at; // of the last reading, on CLOCK_MONOTONIC
};

// Time until the next reading, for the loop's wait: none (at once) when
// the condition has just begun; false while it does not hold.
bool reading_time_left(const reading_schedule &schedule, bool watched, timespec *left);

// At each look: true when a reading is due now. Outside the condition,
// false, and what was asked is forgotten.
bool reading_due(reading_schedule &schedule, bool watched);

// A reading was taken now; it counts as watched until the next look.
void reading_taken(reading_schedule &schedule);

// The reading's field of the state line: "NAME=N", or "NAME=unknown" when
// the value is not known, into out.
void format_reading_field(char *out, std::size_t capacity, const char *name, int value, bool known);
