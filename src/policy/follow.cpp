#include "policy/follow.hpp"

#include "policy/battery.hpp"
#include "policy/closed_lid_suspend.hpp"
#include "policy/follow_state.hpp"
#include "policy/hold.hpp"

static const char *power_setting(power_source source);
static bool follows_source();
static void learn_state();
static void source_is(power_source source);
static void change_source(power_source source);

power_following power = {nullptr, nullptr, power_source::unknown, lid_position::unknown, false};

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
    return power.on_ac != nullptr || power.on_battery != nullptr || battery_floor_set();
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
        if (const char *value = defer_power_setting(source, word))
            (void)replace_restore_state(value);
        return;
    }
    if (apply_power_setting(source, word))
        owe_closed_lid_suspend();
}

void
follow_event(devd_event event) {
    battery_event(event);
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
    case devd_event::none:
        break;
    }
}

void
follow_load_settings() {
    power.on_ac = load_power_setting("vantrel_on_ac");
    power.on_battery = load_power_setting("vantrel_on_battery");
    load_battery_floor();
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
    // lid close, so no suspend is owed.
    apply_power_setting(power.source, power_setting(power.source));
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
    char battery[battery_field_capacity];
    bool floor = battery_field(battery, sizeof battery);
    format_power_reply(reply, power.source, power.lid, power.devd_connected,
                       floor ? battery : nullptr);
}
