#include "lid/lid.hpp"

#include "lid/suspend.hpp"
#include "runner/sysctl.hpp"
#include "runner/text.hpp"

#include <cstring>
#include <err.h>

std::uint8_t switch_mode = s0ix;
bool switch_mode_by_default = true;
char s3_stype[stype_capacity];
char s0ix_stype[stype_capacity];

// The lid action last read or written; empty until then.
static char known_action[setting_capacity];
// What the running command calls before it writes; null when nothing.
static before_lid_write before_write;

static int apply_mode_sleep_type(reply_text &reply);
static int choose_mode(std::uint8_t mode, reply_text &reply);
static int toggle(reply_text &reply);
static int read_lid_state(reply_text &reply);
static void remember_action(const char *value);
static void choose_name(char *stype, std::string_view list, std::string_view preferred,
                        std::string_view fallback);
static int cmd_awake(reply_text &reply);
static int cmd_s0ix(reply_text &reply);
static int cmd_s3(reply_text &reply);
static int cmd_quit(reply_text &reply);

static constexpr char stype_list_setting[] = "kern.power.supported_stype";
// A kernel without kern.power.* lists its ACPI states here: "S1 S3 S4 S5".
static constexpr char acpi_list_setting[] = "hw.acpi.supported_sleep_state";
static constexpr std::size_t stype_list_capacity = 128;

static const char *type_list = stype_list_setting;
// The mode whose sleep type the last command lacked; none_missing when it
// lacked none.
static constexpr int none_missing = -1;
static int missing_mode = none_missing;

struct command_entry {
    std::string_view word;
    int (*handler)(reply_text &);
    command_effect effect;
};

static constexpr command_entry commands[] = {
    {"awake", cmd_awake, command_effect::lid},
    {"s0ix", cmd_s0ix, command_effect::lid},
    {"s3", cmd_s3, command_effect::lid},
    {"toggle", toggle, command_effect::lid},
    {"status", read_lid_state, command_effect::none},
    {"suspend-s3", suspend_s3, command_effect::suspend},
    {"suspend-s0ix", suspend_s0ix, command_effect::suspend},
    {"quit", cmd_quit, command_effect::quit},
};

int
set_reply(reply_text &reply, std::string_view text) {
    return copy_text(reply.data(), reply.size(), text);
}

bool
has_token(std::string_view list, std::string_view word) {
    if (word.empty())
        return false;
    std::size_t from = 0;
    while (from <= list.size()) {
        std::size_t at = list.find(word, from);
        if (at == std::string_view::npos)
            return false;
        std::size_t end = at + word.size();
        bool starts = at == 0 || list[at - 1] == ' ';
        bool ends = end == list.size() || list[end] == ' ';
        if (starts && ends)
            return true;
        from = end;
    }
    return false;
}

// The names are the program's own constants, all shorter than
// stype_capacity, so the copy cannot be refused.
static void
choose_name(char *stype, std::string_view list, std::string_view preferred,
            std::string_view fallback) {
    if (has_token(list, preferred))
        copy_text(stype, stype_capacity, preferred);
    else if (has_token(list, fallback))
        copy_text(stype, stype_capacity, fallback);
}

int
probe_sleep_types() {
    if (s3_stype[0] != '\0' || s0ix_stype[0] != '\0')
        return 0;
    char list[stype_list_capacity];
    // 14 has no such list: asked quietly, as its absence is no fault.
    if (sysctl_probe(stype_list_setting, list, sizeof list) == 0) {
        choose_name(s0ix_stype, list, "suspend_to_idle", "s2idle");
        choose_name(s3_stype, list, "fw_suspend", "s2mem");
        return 0;
    }
    // Such a kernel offers no suspend to idle, and its lid setting takes
    // the ACPI state's own name.
    if (sysctl_read(acpi_list_setting, list, sizeof list) == -1)
        return -1;
    type_list = acpi_list_setting;
    if (has_token(list, "S3"))
        copy_text(s3_stype, stype_capacity, "S3");
    return 0;
}

const char *
sleep_type_list() {
    return type_list;
}

void
fit_default_mode() {
    if (!switch_mode_by_default)
        return;
    switch_mode_by_default = false;
    if (s0ix_stype[0] == '\0' && s3_stype[0] != '\0') {
        switch_mode = s3;
        warnx("no suspend-to-idle sleep type; toggle writes %s", s3_stype);
    }
}

const char *
sleep_kind(std::uint8_t mode) {
    return mode == s3 ? "S3" : "suspend-to-idle";
}

void
note_missing_sleep_type(std::uint8_t mode) {
    missing_mode = mode;
}

const char *
missing_sleep_kind() {
    return missing_mode == none_missing ? nullptr
                                        : sleep_kind(static_cast<std::uint8_t>(missing_mode));
}

const char *
sleep_type_for_mode() {
    return switch_mode == s3 ? s3_stype : s0ix_stype;
}

// A value too long to keep is no known value at all.
static void
remember_action(const char *value) {
    if (copy_text(known_action, sizeof known_action, value) == -1)
        known_action[0] = '\0';
}

int
read_lid_action(char *value, std::size_t capacity) {
    if (sysctl_read(lid_setting, value, capacity) == -1)
        return -1;
    remember_action(value);
    return 0;
}

int
write_lid_action(const char *value) {
    if (sysctl_write(lid_setting, value) == -1)
        return -1;
    remember_action(value);
    return 0;
}

// A write whose tool fails after the kernel took it counts once the lid
// reads the value back.
bool
lid_action_written(const char *value) {
    if (write_lid_action(value) == 0)
        return true;
    char current[setting_capacity];
    return read_lid_action(current, sizeof current) == 0 && std::strcmp(current, value) == 0;
}

const char *
known_lid_action() {
    return known_action;
}

bool
lid_reads_none() {
    char current[setting_capacity];
    return read_lid_action(current, sizeof current) == 0 && std::strcmp(current, "NONE") == 0;
}

static int
read_lid_state(reply_text &reply) {
    return read_lid_action(reply.data(), reply.size());
}

int
apply_lid_state(const char *value, reply_text &reply) {
    if (before_write != nullptr && before_write(value) == -1)
        return -1;
    if (write_lid_action(value) == -1)
        return -1;
    return read_lid_state(reply);
}

static int
apply_mode_sleep_type(reply_text &reply) {
    if (probe_sleep_types() == -1)
        return -1;
    // A direct command decides the default mode here, where it first counts.
    fit_default_mode();
    const char *stype = sleep_type_for_mode();
    if (stype[0] == '\0') {
        note_missing_sleep_type(switch_mode);
        return -1;
    }
    return apply_lid_state(stype, reply);
}

static int
toggle(reply_text &reply) {
    char current[setting_capacity];
    if (read_lid_action(current, sizeof current) == -1)
        return -1;
    if (std::strcmp(current, "NONE") == 0)
        return apply_mode_sleep_type(reply);
    return apply_lid_state("NONE", reply);
}

static int
cmd_awake(reply_text &reply) {
    return apply_lid_state("NONE", reply);
}

// A mode whose sleep type the kernel lists changes before the write is
// tried and stays changed when the write fails, so a later "toggle"
// follows what the user asked for. One that the kernel cannot do, or whose
// list cannot be read, leaves the mode alone: "toggle" would otherwise
// fail from then on.
static int
choose_mode(std::uint8_t mode, reply_text &reply) {
    if (probe_sleep_types() == -1)
        return -1;
    const char *stype = mode == s3 ? s3_stype : s0ix_stype;
    if (stype[0] == '\0') {
        note_missing_sleep_type(mode);
        return -1;
    }
    switch_mode = mode;
    switch_mode_by_default = false;
    return apply_lid_state(stype, reply);
}

static int
cmd_s0ix(reply_text &reply) {
    return choose_mode(s0ix, reply);
}

static int
cmd_s3(reply_text &reply) {
    return choose_mode(s3, reply);
}

static int
cmd_quit(reply_text &reply) {
    set_reply(reply, "bye");
    return 1;
}

command_effect
effect_of(std::string_view command) {
    for (const command_entry &entry : commands) {
        if (entry.word == command)
            return entry.effect;
    }
    return command_effect::unknown;
}

int
run_command(std::string_view command, reply_text &reply, before_lid_write before) {
    missing_mode = none_missing;
    for (const command_entry &entry : commands) {
        if (entry.word != command)
            continue;
        before_write = before;
        int result = entry.handler(reply);
        before_write = nullptr;
        return result;
    }
    set_reply(reply, "error: unknown command");
    return -1;
}
