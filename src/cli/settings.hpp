// Process-wide settings taken from the environment once, at start. The
// location settings (settings.cpp) need nothing else, so the client links
// them alone; the switch state (switch_state.cpp) needs the lid code.
#pragma once

#include <cstdint>

// Used in place: these point at the defaults or into the environment.
extern const char *socket_path;
extern const char *group_name;
inline constexpr char pid_file_path[] = "/var/run/vantrel.pid";
// Locked by the one running service for its whole life.
inline constexpr char lock_file_path[] = "/var/run/vantrel.lock";

// Applies vantrel_socket and vantrel_group when they are set and not empty.
void load_location_settings();

// Applies vantrel_switch_state to switch_mode; an unknown value is warned
// about and gives s0ix. Unset or empty leaves the mode to the kernel's
// sleep types (fit_default_mode).
void load_switch_state();

// The mode a vantrel_switch_state value names, or -1 when it names none.
// Unset and empty both mean s0ix.
int parse_switch_state(const char *value);
