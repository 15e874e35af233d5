// The sleep mode setting, taken from the environment once, at start. The
// location settings live lower down (runner/location.hpp), where the
// client can take them without the lid code.
#pragma once

#include <cstdint>

// Applies vantrel_switch_state to switch_mode; an unknown value is warned
// about and gives s0ix. Unset or empty leaves the mode to the kernel's
// sleep types (fit_default_mode).
void load_switch_state();

// The mode a vantrel_switch_state value names, or -1 when it names none.
// Unset and empty both mean s0ix.
int parse_switch_state(const char *value);
