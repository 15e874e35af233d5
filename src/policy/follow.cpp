#include "policy/follow.hpp"

#include "policy/battery.hpp"
#include "policy/closed_lid_suspend.hpp"
#include "policy/follow_state.hpp"
#include "policy/heat.hpp"
#include "policy/hold.hpp"
#include "policy/state_file.hpp"

#include <cstdio>
#include <cstring>

static const char *power_setting(power_source source);
static bool follows_source();
static void learn_state();
static void source_is(power_source source);
static void change_source(power_source source);
static int format_source_line(char *line, std::size_t capacity, power_source source);
static bool acted_on_before(power_source source);
static void remember_source(power_source source, bool done);

power_following power = {nullptr, nullptr, power_source::unknown, lid_position::unknown, false};

// The source the settings last acted on and the word carried out for it,
// kept across a restart so that a start on the same source, with the same
// setting, leaves a person's later choice alone. FreeBSD empties /var/run
// at boot, so a boot applies the setting as before. Replaced whole, as the
// restore file is; other states that follow the same rule join it.
static constexpr char source_file_path[] = "/var/run/vantrel.source";
static constexpr char source_new_path[] = "/var/run/vantrel.source.new";
// "battery awake" and a line end, with room to spare.
static constexpr std::size_t source_line_capacity = 64;

// The last source the settings were carried out for. It outlives a loss
// of devd, so a reconnection that finds the same source does nothing and
// cannot undo what a person chose meanwhile.
static power_source acted_on;

// The word set for source; null when none is, and always for unknown.
static const char *
power_setting(power_source source) {
    if (source == power_source::ac)
        return power.on_ac;
    if (source == power_source::battery)
        return power.on_battery;
    return nullptr;
}

bool
following() {
    return follows_source() || hold_count() > 0;
}

static bool
follows_source() {
    return power.on_ac != nullptr || power.on_battery != nullptr || battery_floor_set() ||
           heat_limit_set();
}

// devd drops clients whose buffers fill, and nothing is heard while the
// machine sleeps, so both are read again on every connection and resume.
static void
learn_state() {
    power.lid = read_lid_position();
    if (follows_source())
        source_is(read_power_source());
}

// A change is judged against the source the settings last acted on, not
// against the unknown one a lost connection leaves.
static void
source_is(power_source source) {
    power.source = source;
    if (source == power_source::unknown || source == acted_on)
        return;
    acted_on = source;
    change_source(source);
}

// Holds win against automatic changes: the change waits for them to end.
static void
change_source(power_source source) {
    const char *word = power_setting(source);
    if (hold_count() > 0) {
        // A failure keeps the state remembered before, and says so.
        const char *value = defer_power_setting(source, word);
        remember_source(source, value == nullptr || replace_restore_state(value) == 0);
        return;
    }
    int applied = apply_power_setting(source, word);
    if (applied == 1)
        owe_closed_lid_suspend();
    remember_source(source, applied != -1);
}

// "SOURCE WORD\n", the word "none" when the source has no setting.
static int
format_source_line(char *line, std::size_t capacity, power_source source) {
    const char *word = power_setting(source);
    int n = std::snprintf(line, capacity, "%s %s\n", power_source_name(source),
                          word != nullptr ? word : "none");
    return n > 0 && static_cast<std::size_t>(n) < capacity ? n : -1;
}

static bool
acted_on_before(power_source source) {
    char line[source_line_capacity], found[source_line_capacity];
    int n = format_source_line(line, sizeof line, source);
    if (n == -1 || read_state_file(source_file_path, found, sizeof found) == -1)
        return false;
    line[n - 1] = '\0';
    return std::strcmp(line, found) == 0;
}

// A setting that failed is forgotten, so the next start tries it again.
static void
remember_source(power_source source, bool done) {
    char line[source_line_capacity];
    int n = source == power_source::unknown ? -1 : format_source_line(line, sizeof line, source);
    if (!done || n == -1)
        remove_state_file(source_file_path);
    else if (!acted_on_before(source))
        (void)replace_state_file(source_file_path, source_new_path, line,
                                 static_cast<std::size_t>(n));
}

void
follow_event(devd_event event) {
    battery_event(event);
    heat_event(event);
    switch (event) {
    case devd_event::lid_closed:
        power.lid = lid_position::closed;
        break;
    case devd_event::lid_opened:
        power.lid = lid_position::open;
        break;
    case devd_event::on_battery:
        source_is(power_source::battery);
        break;
    case devd_event::on_ac:
        source_is(power_source::ac);
        break;
    case devd_event::resumed:
        confirm_time_asleep();
        closed_lid_resumed();
        learn_state();
        break;
    case devd_event::battery_changed:
    case devd_event::thermal:
    case devd_event::none:
        break;
    }
}

void
follow_load_settings() {
    power.on_ac = load_power_setting("vantrel_on_ac");
    power.on_battery = load_power_setting("vantrel_on_battery");
    load_battery_floor();
    load_heat_limit();
}

void
follow_begin(bool connected) {
    power.devd_connected = connected;
    if (connected)
        power.lid = read_lid_position();
    // A start without devd is no loss: the source is read all the same.
    power.source = read_power_source();
    acted_on = power.source;
    // Applied as the start's own choice: the kernel acts on it at the next
    // lid close, so no suspend is owed. A start on the source and with the
    // setting last acted on applies nothing: the lid holds that setting's
    // result, or a person's later choice.
    if (power.source == power_source::unknown || acted_on_before(power.source))
        return;
    remember_source(power.source,
                    apply_power_setting(power.source, power_setting(power.source)) != -1);
}

void
follow_connected() {
    power.devd_connected = true;
    learn_state();
}

// Whatever happens from now on goes unheard, so the lid and the source are
// unknown until a new connection reads them.
void
follow_lost() {
    power.devd_connected = false;
    power.source = power_source::unknown;
    power.lid = lid_position::unknown;
}

void
follow_settle() {
    (void)suspend_closed_lid(suspend_cause::lid_action, 0);
}

power_source
last_known_source() {
    return power.source != power_source::unknown ? power.source : acted_on;
}

void
power_status(reply_text &reply) {
    char battery[battery_field_capacity], heat[heat_field_capacity];
    bool floor = battery_field(battery, sizeof battery);
    bool limit = heat_field(heat, sizeof heat);
    format_power_reply(reply, power.source, power.lid, power.devd_connected,
                       floor ? battery : nullptr, limit ? heat : nullptr);
}
