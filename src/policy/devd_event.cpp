#include "policy/devd_event.hpp"

#include "runner/text.hpp"

#include <cstddef>

// The keys an event is told by, in the order of devd_fields' slots.
enum : std::uint8_t { key_system, key_subsystem, key_type, key_notify, key_count };

struct devd_fields {
    std::string_view value[key_count];
    bool seen[key_count];
};

struct event_rule {
    std::string_view system;
    std::string_view subsystem;
    std::string_view type;   // empty: any or none
    std::string_view notify; // empty: any or none; any_value: present
    devd_event event;
};

static bool take_word(std::string_view word, devd_fields &fields);
static bool read_fields(std::string_view text, devd_fields &fields);
static bool matches(const event_rule &rule, const devd_fields &fields);

static constexpr std::string_view key_names[key_count] = {"system", "subsystem", "type", "notify"};
// Matches a key that is present, whatever its value.
static constexpr std::string_view any_value = "*";

// Taken in order: the first rule that matches names the event.
static constexpr event_rule event_rules[] = {
    {"ACPI", "Lid", "", "0x00", devd_event::lid_closed},
    {"ACPI", "Lid", "", any_value, devd_event::lid_opened},
    {"ACPI", "ACAD", "", "0x00", devd_event::on_battery},
    {"ACPI", "ACAD", "", "0x01", devd_event::on_ac},
    {"ACPI", "CMBAT", "", "", devd_event::battery_changed},
    {"ACPI", "Thermal", "", "", devd_event::thermal},
    {"ACPI", "Dock", "", "", devd_event::dock_changed},
    {"DRM", "CONNECTOR", "HOTPLUG", "", devd_event::display_changed},
    {"ACPI", "Resume", "", "", devd_event::resumed},
    {"kernel", "power", "resume", "", devd_event::resumed},
    {"kern", "power", "resume", "", devd_event::resumed},
};

static bool
take_word(std::string_view word, devd_fields &fields) {
    std::size_t equals = word.find('=');
    if (equals == std::string_view::npos || equals == 0)
        return false;
    std::string_view key = text_head(word, equals);
    for (std::uint8_t k = 0; k < key_count; k++) {
        if (key != key_names[k])
            continue;
        if (fields.seen[k])
            return false;
        fields.seen[k] = true;
        fields.value[k] = text_tail(word, equals + 1);
    }
    return true;
}

// text is what follows the "!".
static bool
read_fields(std::string_view text, devd_fields &fields) {
    for (;;) {
        std::size_t space = text.find(' ');
        if (!take_word(text_head(text, space), fields))
            return false;
        if (space == std::string_view::npos)
            return true;
        text.remove_prefix(space + 1);
    }
}

static bool
matches(const event_rule &rule, const devd_fields &fields) {
    auto is = [&fields](std::uint8_t key, std::string_view want) {
        if (want.empty())
            return true;
        return fields.seen[key] && (want == any_value || fields.value[key] == want);
    };
    return is(key_system, rule.system) && is(key_subsystem, rule.subsystem) &&
           is(key_type, rule.type) && is(key_notify, rule.notify);
}

devd_event
parse_devd_event(std::string_view message) {
    if (!message.empty() && message.back() == '\n')
        message.remove_suffix(1);
    if (message.empty() || message.front() != '!')
        return devd_event::none;
    devd_fields fields{};
    if (!read_fields(text_tail(message, 1), fields))
        return devd_event::none;
    for (const event_rule &rule : event_rules) {
        if (matches(rule, fields))
            return rule.event;
    }
    return devd_event::none;
}
