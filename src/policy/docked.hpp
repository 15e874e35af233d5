// Docking (vantrel_on_docked): what the displays and the ACPI dock say,
// read only while the setting is set and only when news says they may have
// changed, and the lid action that docking replaced, kept in memory and in
// a file so that undocking can put it back even after a crash. The
// follower (follow.cpp) decides which setting applies.
#pragma once

#include "lid/display.hpp"
#include "policy/devd_event.hpp"

#include <sys/types.h>

#include <cstddef>
#include <ctime>

// Room for "docked=unknown".
inline constexpr std::size_t docked_field_capacity = 24;
inline constexpr char undock_file_path[] = "/var/run/vantrel.undock";
inline constexpr char undock_new_path[] = "/var/run/vantrel.undock.new";

// At start: reads vantrel_on_docked as vantrel_on_ac is read, and the lid
// action a service before this one kept for the undocking.
void load_docked_setting();

// The setting's lid command word, or null when unset or ignored: then
// nothing is ever read and no timer runs.
const char *docked_word();

// The displays are read at the next look: at start and at every devd
// connection, whose events were unheard meanwhile.
void docked_read_soon();

// Every devd event: a Dock event asks for a reading at the next look; a
// HOTPLUG burst for one 2 s after its last event, never later than 5 s
// after its first; a resume for one 2 s later, as the displays are probed
// late.
void docked_event(devd_event event);

// Time until the next reading, for the loop's wait; false when none waits.
bool docked_time_to_read(timespec *left);

// At each look: when a reading is due, takes it and returns true with it
// in reading; false when none was due.
bool docked_reading_due(dock_reading *reading);

// The last reading; unknown before the first.
dock_state docked_state();

// "docked=yes|no|unknown" into out; false with out untouched while the
// setting is unset.
bool docked_field(char *out, std::size_t capacity);

// The lid action docking replaced ("NONE" or a sleep type's name), for the
// undocking to put back; "" when none is kept. Keeping one replaces the
// file whole first; forgetting removes it. keep returns -1, warned about,
// with nothing kept, when the file could not be written.
const char *undock_action();
int keep_undock_action(const char *value);
void forget_undock_action();

// A lid command of uid's succeeded: the undocking leaves the lid as they
// chose. Logged when a kept action is thereby dropped.
void undock_action_overruled(uid_t uid);
