#include "policy/battery.hpp"

#include "lid/power.hpp"
#include "policy/closed_lid_suspend.hpp"
#include "policy/follow_state.hpp"
#include "policy/hold.hpp"
#include "policy/reading_schedule.hpp"

#include <cstdio>
#include <err.h>

static bool watched();
static bool at_floor();
static void read_level();
static void act();
static void end_holds();

static constexpr char floor_variable[] = "vantrel_battery_floor";
static constexpr int highest_floor = 50;

// Owned here.
static struct {
    int floor;                         // 0: none
    int level = battery_level_unknown; // the last reading
    bool fresh;                        // read since the last settle
    bool armed = true;                 // a refusal is not said again until the lid closes
    bool suspend_due;                  // at the floor: battery_suspend is next
    reading_schedule schedule;
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
    reading_taken(battery.schedule);
    battery.fresh = true;
}

static void
end_holds() {
    while (hold_count() > 0)
        end_hold(hold_count() - 1);
}

static void
act() {
    if (hold_count() > 0) {
        warnx("battery at %d%%: holds ended", battery.level);
        end_holds();
    }
    battery.suspend_due = true;
}

void
load_battery_floor() {
    int floor = load_number_setting(floor_variable, 1, highest_floor);
    if (floor != -1)
        battery.floor = floor;
}

bool
battery_floor_set() {
    return battery.floor != 0;
}

void
battery_event(devd_event event) {
    // After a resume the level is read again, so a machine that woke in a
    // bag at its floor goes back to sleep once the hold-off has passed.
    if (event == devd_event::battery_changed || event == devd_event::resumed)
        battery.schedule.asked = true;
    if (event == devd_event::lid_closed || event == devd_event::resumed)
        battery.armed = true;
}

bool
battery_time_to_read(timespec *left) {
    return reading_time_left(battery.schedule, watched(), left);
}

void
battery_settle() {
    if (closed_lid_floor_recheck())
        battery.schedule.asked = true;
    if (reading_due(battery.schedule, watched()))
        read_level();
    if (battery.fresh && watched() && at_floor())
        act();
    battery.fresh = false;
}

// A reading taken while the level was not watched may be hours old.
bool
battery_refuses_hold(reply_text &reply) {
    if (battery.floor == 0 || last_known_source() != power_source::battery)
        return false;
    if (!battery.schedule.watching || battery.level == battery_level_unknown)
        read_level();
    if (!at_floor())
        return false;
    std::snprintf(reply.data(), reply.size(), "error: battery low (%d%%)", battery.level);
    return true;
}

bool
battery_field(char *out, std::size_t capacity) {
    if (battery.floor == 0)
        return false;
    format_reading_field(out, capacity, "battery", battery.level,
                         battery.level != battery_level_unknown);
    return true;
}

// A refusal (no sleep type, or a tool that fails) is said once, until the
// lid closes again or the machine resumes; a request is not repeated while
// it is pending, and a resume is held off (closed_lid_suspend.hpp).
void
battery_suspend() {
    bool due = battery.suspend_due;
    battery.suspend_due = false;
    if (due && battery.armed &&
        suspend_closed_lid(suspend_cause::battery_floor, battery.level) == suspend_outcome::refused)
        battery.armed = false;
}
