// The battery floor (vantrel_battery_floor): at or below a chosen level on
// battery, every hold ends and a machine with its lid shut is suspended,
// so that a closed laptop kept awake cannot run flat in a bag. The level is
// read only while it matters: on battery, with a hold or the lid closed.
#pragma once

#include "lid/lid.hpp"
#include "policy/devd_event.hpp"

#include <cstddef>
#include <ctime>

// Room for "battery=unknown" or "battery=100".
inline constexpr std::size_t battery_field_capacity = 24;

// At start: reads vantrel_battery_floor (1 to 50; unset or empty: none),
// warning about and ignoring any other value.
void load_battery_floor();

// True while a floor is set: devd and the power source are then followed.
bool battery_floor_set();

// Every devd event: a CMBAT event or a resume asks for a reading; a Lid
// close or a resume lets a refused closed-lid suspend be tried again.
void battery_event(devd_event event);

// Time until the next reading, for the loop's wait; false when the level
// is not watched, so no reading is ever due.
bool battery_time_to_read(timespec *left);

// After every wake: reads the level when a reading is due, and acts on a
// level at or below the floor: ends the holds, and owes the suspend of a
// closed lid to battery_suspend.
void battery_settle();

// After battery_settle, once the connections of the holds it ended are
// closed, so that their holders hear of the end before the machine sleeps:
// the floor's closed-lid suspend (policy/closed_lid_suspend.hpp), held
// off for a while after a resume and decided anew with a new reading once
// the hold-off has passed.
void battery_suspend();

// Before a hold begins: true, with "error: battery low (N%)" in the reply,
// when the level on battery is at or below the floor. Without a current
// reading the level is read first.
bool battery_refuses_hold(reply_text &reply);

// "battery=N", or "battery=unknown" before a level was read, into out;
// false with out untouched when no floor is set.
bool battery_field(char *out, std::size_t capacity);
