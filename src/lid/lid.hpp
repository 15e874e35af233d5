// Lid-switch commands: the one place where a command word is carried out,
// for the command line and the control socket alike.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

inline constexpr std::size_t reply_capacity = 256;
inline constexpr std::size_t stype_capacity = 32;
// The kernel setting that says what closing the lid does.
inline constexpr char lid_setting[] = "hw.acpi.lid_switch_state";

using reply_text = std::array<char, reply_capacity>;

// The sleep mode that "toggle" (and "s0ix"/"s3") writes.
enum : std::uint8_t { s0ix = 0, s3 = 1 };

extern std::uint8_t switch_mode;
// True while switch_mode holds the default because nothing named a mode:
// the kernel then decides it (fit_default_mode). Naming one clears it.
extern bool switch_mode_by_default;
// The kernel's names for the two kinds of sleep, empty until discovered.
extern char s3_stype[stype_capacity];
extern char s0ix_stype[stype_capacity];

// What a command word does, for those who must know before it runs.
enum class command_effect : std::uint8_t { unknown, none, lid, suspend, quit };
command_effect effect_of(std::string_view command);

// Called with the value a lid command is about to write, just before it
// writes; -1 stops the command there, as a failed write would.
using before_lid_write = int (*)(const char *value);

// Carries out one command word (compared whole and case-sensitively).
// Returns 0 done, -1 failed, 1 quit. The reply, empty on entry, is either
// left empty or filled with at most reply_capacity - 1 characters.
int run_command(std::string_view command, reply_text &reply, before_lid_write before = nullptr);

// Learns the sleep-type names from kern.power.supported_stype, or from
// hw.acpi.supported_sleep_state when a kernel has no such list, once: after
// either name is known no list is read again. Returns -1 only when neither
// list can be read.
int probe_sleep_types();

// The setting whose list the names came from: kern.power.supported_stype
// until the other list has been read.
const char *sleep_type_list();

// After a successful probe, while switch_mode is the default: on a kernel
// that lists an S3 type but no S0ix type the mode becomes s3, with a
// warning. Decides once; later calls do nothing.
void fit_default_mode();

// "suspend-to-idle" or "S3", as warnings name the two modes.
const char *sleep_kind(std::uint8_t mode);

// The last command word was refused because the kernel lists no sleep type
// for mode; run_command forgets it when the next word begins.
void note_missing_sleep_type(std::uint8_t mode);
// The kind (sleep_kind) that the last command word lacked, or null.
const char *missing_sleep_kind();

// The sleep type that the current switch_mode writes; may be empty.
const char *sleep_type_for_mode();

// The lid action, read and written through sysctl. Each value read or
// written is remembered, so that those who must not run a tool (the lines
// sent to watchers) still know the last value the process has seen.
// read_lid_action returns 0 or -1 as sysctl_read does; a failed read
// leaves the remembered value alone.
int read_lid_action(char *value, std::size_t capacity);
// Returns 0, or -1 when the write failed (nothing is remembered then).
int write_lid_action(const char *value);
// True when value was written, or the write failed and the lid reads value
// back all the same.
bool lid_action_written(const char *value);
// The last value read or written, "" when there is none.
const char *known_lid_action();
// Reads the lid action now: true only when it read "NONE".
bool lid_reads_none();

// Writes value into hw.acpi.lid_switch_state and reads the setting back into
// the reply. Returns 0 or -1; the reply stays empty when the write fails.
int apply_lid_state(const char *value, reply_text &reply);

// True when word stands in list as a whole space-separated token.
bool has_token(std::string_view list, std::string_view word);

// Fills the reply with text, refusing what does not fit. Returns 0 or -1.
int set_reply(reply_text &reply, std::string_view text);
