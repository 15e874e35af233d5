// The power source's settings and readings: a vantrel_on_ac or
// vantrel_on_battery value, the power source and lid position as the
// kernel reports them, carrying out a setting as a client's lid command
// would, and the "power" reply. Nothing here keeps state or decides when;
// the devd follower does.
#pragma once

#include "lid/lid.hpp"

#include <cstdint>
#include <span>

enum class power_source : std::uint8_t { unknown, ac, battery };
enum class lid_position : std::uint8_t { unknown, open, closed };

// Reads a setting from the environment: its lid command word ("awake",
// "s0ix" or "s3"), or null when it is unset, or invalid or names a sleep
// type the kernel lacks (both warned about and ignored). The sleep types
// must have been probed (probe_sleep_types) before.
const char *load_power_setting(const char *variable);

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
// A number setting from the environment, from lowest to highest: its
// value, or -1 when it is unset or empty, or out of range or no number
// (warned about and ignored).
int load_number_setting(const char *variable, int lowest, int highest);

// Carries out word, the setting for a change named why ("on ac",
// "docked"), through run_command exactly as a client's request would
// ("s0ix" and "s3" set switch_mode), logged as "devd: WHY: WORD" before
// unless the caller has said why already, and warned about on failure. Returns 1 when a sleep type
// was written to the lid ("s0ix" or "s3", and it succeeded), 0 when "awake" succeeded or the word
// is null (nothing is done then), -1 on failure.
int apply_power_setting(const char *why, const char *word, bool announce = true);

// For a change that must not touch the lid now: logs that it waits for the
// holds, sets switch_mode as the command would and returns the value the
// command would write ("NONE", or the kernel's sleep type name). Null,
// with nothing done, for a null word.
const char *defer_power_setting(const char *why, const char *word);

// "source=ac|battery|unknown lid=open|closed|unknown devd=connected|absent",
// then " " and each of fields that is not null, in order.
void format_power_reply(reply_text &reply, power_source source, lid_position lid,
                        bool devd_connected, std::span<const char *const> fields = {});
