// The machine's temperature as the kernel reports it: the ACPI thermal
// zones (acpi_thermal(4)) and the first CPU's sensor (coretemp(4),
// amdtemp(4)). Which of them exist is learned once; a reading then asks
// only those, so no reading probes a name that is absent.
#pragma once

inline constexpr int heat_unknown = -1;

// Learns which sensors exist, each with "sysctl -q -N": hw.acpi.thermal.tzN
// from tz0 up to the first one absent, and dev.cpu.0.temperature.
void probe_heat_sensors();

// The highest reading of the sensors probe_heat_sensors found, in whole
// degrees Celsius, or heat_unknown when none gave a value.
int read_heat();

// A sensor's value ("45.9C": digits, an optional fraction, then "C"),
// truncated to whole degrees; heat_unknown for anything else.
int parse_heat(const char *text);
