#include "server/battery.hpp"

#include "lid/power.hpp"
#include "server/follow.hpp"
#include "server/follow_state.hpp"
#include "server/hold.hpp"
#include "server/request.hpp"

#include <cstdio>
#include <cstdlib>
#include <err.h>

static bool watched();
static bool at_floor();
static void read_level();
static timespec next_reading();
static void act();
static void end_holds();
static void suspend_now();

static constexpr char floor_variable[] = "vantrel_battery_floor";
static constexpr int highest_floor = 50;
// Between readings while the level is watched; devd's CMBAT events come in
// between when the firmware sends them.
static constexpr long reading_interval_seconds = 60;

// Owned here.
static struct {
    int floor;                         // 0: none
    int level = battery_level_unknown; // the last reading
    bool watching;                     // the level was watched at the last look
    bool reading_asked;                // a CMBAT event came
    bool fresh;                        // read since the last settle
    bool armed = true;                 // a closed lid may be suspended
    timespec read_at;                  // of the last reading, on CLOCK_MONOTONIC
} battery = {};

// On the charger, or with an open lid and no hold, the battery cannot be
// drained behind anyone's back, so it is not read at all.
static bool
watched() {
    return battery.floor != 0 && last_known_source() == power_source::battery &&
           (hold_count() > 0 || power.lid == lid_position::closed);
}

static bool
at_floor() {
    return battery.level != battery_level_unknown && battery.level <= battery.floor;
}

static void
read_level() {
    battery.level = read_battery_level();
    battery.read_at = deadline_after(0);
    battery.fresh = true;
}

static timespec
next_reading() {
    timespec at = battery.read_at;
    at.tv_sec += reading_interval_seconds;
    return at;
}

static void
end_holds() {
    while (hold_count() > 0)
        end_hold(hold_count() - 1);
}

// In the mode's way even when the lid action is NONE: a person's NONE must
// not cost the session. A resume then holds it back until the lid closes
// again, so a machine woken on a low battery is not put straight back; a
// refusal does the same, so it is said once.
static void
suspend_now() {
    battery.armed = false;
    if (!may_suspend_automatically(switch_mode))
        return;
    warnx("battery at %d%%: lid closed: suspending now", battery.level);
    suspend_automatically(switch_mode);
    follow_suspended();
}

// The lid is read again just before: the suspend needs both the position
// devd reported and the kernel's own to say closed.
static void
act() {
    if (hold_count() > 0) {
        warnx("battery at %d%%: holds ended", battery.level);
        end_holds();
    }
    if (power.lid == lid_position::closed && battery.armed &&
        read_lid_position() == lid_position::closed)
        suspend_now();
}

void
load_battery_floor() {
    const char *value = std::getenv(floor_variable);
    if (value == nullptr || value[0] == '\0')
        return;
    int floor = parse_percentage(value, highest_floor);
    if (floor < 1) {
        warnx("invalid %s=%s; ignored", floor_variable, value);
        return;
    }
    battery.floor = floor;
}

bool
battery_floor_set() {
    return battery.floor != 0;
}

void
battery_event(devd_event event) {
    if (event == devd_event::battery_changed)
        battery.reading_asked = true;
    else if (event == devd_event::lid_closed)
        battery.armed = true;
    else if (event == devd_event::resumed)
        battery.armed = false;
}

// Watched but not yet looked at, as just after the start: at once.
bool
battery_time_to_read(timespec *left) {
    if (!watched())
        return false;
    *left = {};
    if (battery.watching)
        *left = timeout_until(next_reading(), deadline_after(0));
    return true;
}

void
battery_settle() {
    if (!watched()) {
        battery.watching = battery.reading_asked = battery.fresh = false;
        return;
    }
    if (!battery.watching || battery.reading_asked ||
        nanoseconds_until(next_reading(), deadline_after(0)) <= 0)
        read_level();
    battery.watching = true;
    battery.reading_asked = false;
    if (battery.fresh && at_floor())
        act();
    battery.fresh = false;
}

// A reading taken while the level was not watched may be hours old.
bool
battery_refuses_hold(reply_text &reply) {
    if (battery.floor == 0 || last_known_source() != power_source::battery)
        return false;
    if (!battery.watching || battery.level == battery_level_unknown) {
        read_level();
        battery.watching = true;
    }
    if (!at_floor())
        return false;
    std::snprintf(reply.data(), reply.size(), "error: battery low (%d%%)", battery.level);
    return true;
}

bool
battery_field(char *out, std::size_t capacity) {
    if (battery.floor == 0)
        return false;
    if (battery.level == battery_level_unknown)
        std::snprintf(out, capacity, "battery=unknown");
    else
        std::snprintf(out, capacity, "battery=%d", battery.level);
    return true;
}
