#include "lid/power.hpp"

#include "runner/sysctl.hpp"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>

// A lid command word a setting may hold, and the sleep type it writes.
struct power_word {
    const char *word;
    const char *stype; // the kernel's name, filled in by discovery; null: NONE
    const char *kind;  // how the sleep type is named in warnings
    std::uint8_t mode; // the switch_mode it sets, where it has a sleep type
};

static const power_word *find_word(const char *value);
static int read_flag(const char *name);

static constexpr power_word power_words[] = {
    {"awake", nullptr, nullptr, s0ix},
    {"s0ix", s0ix_stype, "suspend-to-idle", s0ix},
    {"s3", s3_stype, "S3", s3},
};

// Indexed by the enumerations' values.
static constexpr const char *source_names[] = {"unknown", "ac", "battery"};
static constexpr const char *lid_names[] = {"unknown", "open", "closed"};

static const power_word *
find_word(const char *value) {
    for (const power_word &entry : power_words) {
        if (std::strcmp(entry.word, value) == 0)
            return &entry;
    }
    return nullptr;
}

const char *
load_power_setting(const char *variable) {
    const char *value = std::getenv(variable);
    if (value == nullptr || value[0] == '\0')
        return nullptr;
    const power_word *entry = find_word(value);
    if (entry == nullptr) {
        warnx("invalid %s=%s; ignored", variable, value);
        return nullptr;
    }
    if (entry->stype != nullptr && entry->stype[0] == '\0') {
        warnx("no %s sleep type for %s=%s; ignored", entry->kind, variable, value);
        return nullptr;
    }
    return entry->word;
}

const char *
power_source_name(power_source source) {
    return source_names[static_cast<std::uint8_t>(source)];
}

// 1 or 0 as the setting reads, -1 for anything else or a failed read.
static int
read_flag(const char *name) {
    char value[setting_capacity];
    if (sysctl_read(name, value, sizeof value) == -1)
        return -1;
    if (std::strcmp(value, "1") == 0)
        return 1;
    return std::strcmp(value, "0") == 0 ? 0 : -1;
}

// Both settings map -1, 0 and 1 (read_flag) to unknown, then to the
// meaning of 0 and of 1.
power_source
read_power_source() {
    static constexpr power_source by_flag[] = {power_source::unknown, power_source::battery,
                                               power_source::ac};
    return by_flag[read_flag("hw.acpi.acline") + 1];
}

lid_position
read_lid_position() {
    static constexpr lid_position by_flag[] = {lid_position::unknown, lid_position::closed,
                                               lid_position::open};
    return by_flag[read_flag("dev.acpi_lid.0.state") + 1];
}

int
apply_power_setting(const char *why, const char *word, bool announce) {
    if (word == nullptr)
        return 0;
    if (announce)
        warnx("devd: %s: %s", why, word);
    reply_text reply{};
    if (run_command(word, reply) != 0) {
        warnx("devd: %s: %s failed", why, word);
        return -1;
    }
    return find_word(word)->stype != nullptr ? 1 : 0;
}

const char *
defer_power_setting(const char *why, const char *word) {
    if (word == nullptr)
        return nullptr;
    warnx("devd: %s: %s (waits for the holds to end)", why, word);
    const power_word *entry = find_word(word);
    if (entry->stype == nullptr)
        return "NONE";
    switch_mode = entry->mode;
    return entry->stype;
}

int
parse_percentage(const char *text, int highest) {
    const char *end = text + std::strlen(text);
    int value = -1;
    auto [next, ec] = std::from_chars(text, end, value);
    if (ec != std::errc{} || next != end || value < 0 || value > highest)
        return -1;
    return value;
}

int
load_number_setting(const char *variable, int lowest, int highest) {
    const char *value = std::getenv(variable);
    if (value == nullptr || value[0] == '\0')
        return -1;
    int number = parse_percentage(value, highest);
    if (number < lowest) {
        warnx("invalid %s=%s; ignored", variable, value);
        return -1;
    }
    return number;
}

// The kernel reports -1 while it knows no battery; any value outside a
// percentage is treated the same.
int
read_battery_level() {
    char value[setting_capacity];
    if (sysctl_read("hw.acpi.battery.life", value, sizeof value) == -1)
        return battery_level_unknown;
    return parse_percentage(value, 100);
}

void
format_power_reply(reply_text &reply, power_source source, lid_position lid, bool devd_connected,
                   std::span<const char *const> fields) {
    int n = std::snprintf(reply.data(), reply.size(), "source=%s lid=%s devd=%s",
                          power_source_name(source), lid_names[static_cast<std::uint8_t>(lid)],
                          devd_connected ? "connected" : "absent");
    for (const char *field : fields) {
        if (field == nullptr || n < 0 || static_cast<std::size_t>(n) >= reply.size())
            continue;
        int more = std::snprintf(reply.data() + n, reply.size() - static_cast<std::size_t>(n),
                                 " %s", field);
        n = more < 0 ? more : n + more;
    }
}
