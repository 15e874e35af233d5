#include "policy/heat.hpp"

#include "lid/heat.hpp"
#include "lid/power.hpp"
#include "policy/follow_state.hpp"
#include "policy/hold.hpp"
#include "policy/reading_schedule.hpp"

#include <cstdio>
#include <err.h>

static bool watched();
static bool too_hot();
static void read_now();

static constexpr char limit_variable[] = "vantrel_heat_limit";
static constexpr int lowest_limit = 50;
static constexpr int highest_limit = 105;

// Owned here.
static struct {
    int limit;               // 0: none
    int heat = heat_unknown; // the last reading
    bool fresh;              // read since the last settle
    reading_schedule schedule;
} guard = {};

// The guard is about holds: without one the lid action is the person's
// own, and with the lid open the machine can shed its heat.
static bool
watched() {
    return guard.limit != 0 && hold_count() > 0 && power.lid == lid_position::closed;
}

static bool
too_hot() {
    return guard.heat != heat_unknown && guard.heat >= guard.limit;
}

static void
read_now() {
    guard.heat = read_heat();
    reading_taken(guard.schedule);
    guard.fresh = true;
}

void
load_heat_limit() {
    int limit = load_number_setting(limit_variable, lowest_limit, highest_limit);
    if (limit == -1)
        return;
    guard.limit = limit;
    probe_heat_sensors();
}

bool
heat_limit_set() {
    return guard.limit != 0;
}

void
heat_event(devd_event event) {
    if (event == devd_event::thermal)
        guard.schedule.asked = true;
}

bool
heat_time_to_read(timespec *left) {
    return reading_time_left(guard.schedule, watched(), left);
}

void
heat_settle() {
    if (reading_due(guard.schedule, watched()))
        read_now();
    if (guard.fresh && watched() && too_hot()) {
        warnx("%d C with the lid closed: holds ended", guard.heat);
        while (hold_count() > 0)
            end_hold(hold_count() - 1);
    }
    guard.fresh = false;
}

// A reading taken while unwatched may be hours old.
bool
heat_refuses_hold(reply_text &reply) {
    if (guard.limit == 0 || power.lid != lid_position::closed)
        return false;
    if (!guard.schedule.watching || guard.heat == heat_unknown)
        read_now();
    guard.fresh = false;
    if (!too_hot())
        return false;
    std::snprintf(reply.data(), reply.size(), "error: too hot (%d C)", guard.heat);
    return true;
}

bool
heat_field(char *out, std::size_t capacity) {
    if (guard.limit == 0)
        return false;
    format_reading_field(out, capacity, "heat", guard.heat, guard.heat != heat_unknown);
    return true;
}
