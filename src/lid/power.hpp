// Following the power source: the vantrel_on_ac and vantrel_on_battery
// settings, the power source and lid position as the kernel reports them,
// carrying out a setting as a client's lid command would, and the "power"
// reply. Nothing here decides when; the server does.
#pragma once

#include "lid/lid.hpp"

#include <cstdint>

enum class power_source : std::uint8_t { unknown, ac, battery };
enum class lid_position : std::uint8_t { unknown, open, closed };

// Process-wide, owned here. A setting points at its lid command word
// ("awake", "s0ix" or "s3"), or is null when unset or ignored. source and
// lid are what the service last learned; the server keeps them up to date.
struct power_following {
    const char *on_ac;
    const char *on_battery;
    power_source source;
    lid_position lid;
};
extern power_following power;

// Reads both settings from the environment into power, warning about and
// ignoring an invalid value and a word whose sleep type the kernel lacks.
// The sleep types must have been probed (probe_sleep_types) before.
void load_power_settings();

// The word set for source; null when none is, and always for unknown.
const char *power_setting(power_source source);
// "ac", "battery" or "unknown".
const char *power_source_name(power_source source);

// hw.acpi.acline: "1" ac, "0" battery; anything else or a failed read is
// unknown. Only reads; power.source is left to the caller.
power_source read_power_source();
// dev.acpi_lid.0.state: "0" closed, "1" open; anything else or a failed
// read is unknown. Only reads; power.lid is left to the caller.
lid_position read_lid_position();
// hw.acpi.battery.life: a percentage from 0 to 100; anything else or a
// failed read gives battery_level_unknown.
inline constexpr int battery_level_unknown = -1;
int read_battery_level();
// The whole of text as a decimal number from 0 to highest, or -1.
int parse_percentage(const char *text, int highest);

// Carries out the setting for source, if there is one, through run_command
// exactly as a client's request would ("s0ix" and "s3" set switch_mode),
// logged before and warned about on failure. Returns true only when a
// sleep type was written to the lid: "s0ix" or "s3", and it succeeded.
bool apply_power_setting(power_source source);

// For a change that must not touch the lid now: logs it as
// apply_power_setting does, sets switch_mode as the command would and
// returns the value the command would write ("NONE", or the kernel's sleep
// type name). Null, with nothing done, when source has no setting.
const char *defer_power_setting(power_source source);

// "source=ac|battery|unknown lid=open|closed|unknown devd=connected|absent",
// then " " and battery when that field is given.
void format_power_reply(reply_text &reply, power_source source, lid_position lid,
                        bool devd_connected, const char *battery = nullptr);
