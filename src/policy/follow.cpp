#include "policy/follow.hpp"

#include "policy/battery.hpp"
#include "policy/closed_lid_suspend.hpp"
#include "policy/docked.hpp"
#include "policy/follow_state.hpp"
#include "policy/heat.hpp"
#include "policy/hold.hpp"
#include "policy/reading_schedule.hpp"
#include "policy/state_file.hpp"
#include "runner/sysctl.hpp"
#include "runner/text.hpp"

#include <cstdio>
#include <cstring>
#include <err.h>

static const char *power_setting(power_source source);
static const char *situation_word();
static bool follows_source();
static void learn_state();
static void source_is(power_source source);
static void act_on_change(bool was_docked, bool owes);
static void dock(bool owes);
static void keep_replaced_action();
static void undock(bool owes);
static void carry_out(const char *why, const char *word, bool owes, bool announce = true);
static void put_back(const char *value, bool owes);
static int format_source_line(char *line, std::size_t capacity, power_source source, bool docked);
static bool acted_on_before(power_source source, bool docked);
static void remember_source(bool done);
static bool start_docked(dock_state reading);
static bool last_docked();

power_following power = {nullptr, nullptr, power_source::unknown, lid_position::unknown, false};

// The source the settings last acted on, with whether docking did, and
// the word carried out for them, kept across a restart so that a start in
// the same situation, with the same setting, leaves a person's later
// choice alone. FreeBSD empties /var/run at boot, so a boot applies the
// setting as before. Replaced whole, as the restore file is.
static constexpr char source_file_path[] = "/var/run/vantrel.source";
static constexpr char source_new_path[] = "/var/run/vantrel.source.new";
// "battery docked awake" and a line end, with room to spare.
static constexpr std::size_t source_line_capacity = 64;

// What the settings were last carried out for. The source outlives a loss
// of devd, so a reconnection that finds the same source does nothing and
// cannot undo what a person chose meanwhile; docking outlives a reading
// that cannot tell, which is never an undocking.
static struct {
    power_source source;
    bool docked;
} acted_on;

// The source's reading while devd is away (follow_poll).
static reading_schedule source_poll;

// The word set for source; null when none is, and always for unknown.
static const char *
power_setting(power_source source) {
    if (source == power_source::ac)
        return power.on_ac;
    if (source == power_source::battery)
        return power.on_battery;
    return nullptr;
}

// The word for what the settings last acted on: docking's, while docked.
static const char *
situation_word() {
    return acted_on.docked ? docked_word() : power_setting(acted_on.source);
}

bool
following() {
    return follows_source() || hold_count() > 0;
}

static bool
follows_source() {
    return power.on_ac != nullptr || power.on_battery != nullptr || battery_floor_set() ||
           heat_limit_set() || docked_word() != nullptr;
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
    if (source == power_source::unknown || source == acted_on.source)
        return;
    acted_on.source = source;
    act_on_change(acted_on.docked, true);
}

// The source or docking changed from what the settings last acted on
// (acted_on holds the new situation). owes: a sleep type it writes owes
// the closed-lid suspend; a start's own choice owes none.
static void
act_on_change(bool was_docked, bool owes) {
    if (acted_on.docked && !was_docked)
        dock(owes);
    else if (!acted_on.docked && was_docked)
        undock(owes);
    else if (acted_on.docked)
        remember_source(true); // docking's setting still applies
    else
        carry_out(acted_on.source == power_source::ac ? "on ac" : "on battery", situation_word(),
                  owes);
}

// What docking replaces is kept first, so that an undocking can put it
// back: the state the holds will write back while they last, else the lid.
// One kept already is from a docking that a crash cut short, before the
// lid changed or after: it is the one to keep.
static void
dock(bool owes) {
    if (undock_action()[0] == '\0')
        keep_replaced_action();
    carry_out("docked", docked_word(), owes, false);
}

static void
keep_replaced_action() {
    char current[setting_capacity] = "NONE";
    const char *replaced = remembered_lid_state();
    if (hold_count() == 0 && read_lid_action(current, sizeof current) == -1)
        current[0] = '\0';
    else if (hold_count() > 0 && replaced[0] != '\0')
        (void)copy_text(current, sizeof current, replaced);
    if (current[0] != '\0' && keep_undock_action(current) == -1)
        warnx("docked: %s=%s will not be restored at the undocking", lid_setting, current);
}

// The power source's setting applies again, as if the source had just
// changed; without one, the lid action docking replaced comes back,
// unless a person has chosen another since.
// The kept action is forgotten last, so a crash before cannot lose it.
static void
undock(bool owes) {
    const char *word = situation_word();
    const char *kept = undock_action();
    if (word != nullptr || kept[0] == '\0') {
        warnx("undocked: %s", word != nullptr ? word : "none");
        carry_out("undocked", word, owes, false);
    } else {
        warnx("undocked: %s", kept);
        put_back(kept, owes);
    }
    forget_undock_action();
}

// Holds win against automatic changes: the change waits for them to end.
static void
carry_out(const char *why, const char *word, bool owes, bool announce) {
    if (hold_count() > 0) {
        // A failure keeps the state remembered before, and says so.
        const char *value = defer_power_setting(why, word);
        remember_source(value == nullptr || replace_restore_state(value) == 0);
        return;
    }
    int applied = apply_power_setting(why, word, announce);
    if (applied == 1 && owes)
        owe_closed_lid_suspend();
    remember_source(applied != -1);
}

static void
put_back(const char *value, bool owes) {
    if (hold_count() > 0) {
        remember_source(replace_restore_state(value) == 0);
        return;
    }
    bool done = lid_action_written(value);
    if (!done)
        warnx("undocked: could not restore %s=%s", lid_setting, value);
    if (done && owes && std::strcmp(value, "NONE") != 0)
        owe_closed_lid_suspend();
    remember_source(done);
}

// "SOURCE WORD\n", or "SOURCE docked WORD\n" while docking's setting
// applies; the word "none" when the situation has no setting.
static int
format_source_line(char *line, std::size_t capacity, power_source source, bool docked) {
    const char *word = docked ? docked_word() : power_setting(source);
    int n = std::snprintf(line, capacity, "%s %s%s\n", power_source_name(source),
                          docked ? "docked " : "", word != nullptr ? word : "none");
    return n > 0 && static_cast<std::size_t>(n) < capacity ? n : -1;
}

static bool
acted_on_before(power_source source, bool docked) {
    char line[source_line_capacity], found[source_line_capacity];
    int n = format_source_line(line, sizeof line, source, docked);
    if (n == -1 || read_state_file(source_file_path, found, sizeof found) == -1)
        return false;
    line[n - 1] = '\0';
    return std::strcmp(line, found) == 0;
}

// A setting that failed is forgotten, so the next start tries it again.
static void
remember_source(bool done) {
    char line[source_line_capacity];
    power_source source = acted_on.source;
    int n = source == power_source::unknown
                ? -1
                : format_source_line(line, sizeof line, source, acted_on.docked);
    if (!done || n == -1)
        remove_state_file(source_file_path);
    else if (!acted_on_before(source, acted_on.docked))
        (void)replace_state_file(source_file_path, source_new_path, line,
                                 static_cast<std::size_t>(n));
}

// A start that cannot tell keeps the docking the last service acted on.
static bool
start_docked(dock_state reading) {
    if (docked_word() == nullptr)
        return false;
    if (reading != dock_state::unknown)
        return reading == dock_state::yes;
    return last_docked();
}

// Whether the settings were last carried out docked, on whichever source.
static bool
last_docked() {
    char found[source_line_capacity];
    if (read_state_file(source_file_path, found, sizeof found) == -1)
        return false;
    const char *space = std::strchr(found, ' ');
    return space != nullptr && std::strncmp(space, " docked ", 8) == 0;
}

void
follow_displays() {
    dock_reading reading;
    if (!docked_reading_due(&reading) || reading.state == dock_state::unknown)
        return;
    bool was_docked = acted_on.docked;
    acted_on.docked = reading.state == dock_state::yes;
    if (acted_on.docked == was_docked)
        return;
    if (acted_on.docked)
        warnx("docked (%s): %s", reading.what, docked_word());
    act_on_change(was_docked, true);
}

void
follow_event(devd_event event) {
    battery_event(event);
    heat_event(event);
    docked_event(event);
    switch (event) {
    case devd_event::lid_closed:
        power.lid = lid_position::closed;
        break;
    case devd_event::lid_opened:
        power.lid = lid_position::open;
        closed_lid_opened();
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
    case devd_event::dock_changed:
    case devd_event::display_changed:
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
    load_docked_setting();
    load_resume_holdoff();
}

void
follow_begin(bool connected) {
    power.devd_connected = connected;
    if (connected)
        power.lid = read_lid_position();
    // A start without devd is no loss: the source is read all the same.
    power.source = read_power_source();
    acted_on.source = power.source;
    dock_reading reading = {dock_state::unknown, ""};
    docked_read_soon();
    (void)docked_reading_due(&reading);
    acted_on.docked = start_docked(reading.state);
    // Applied as the start's own choice: the kernel acts on it at the next
    // lid close, so no suspend is owed. A start in the situation and with
    // the setting last acted on applies nothing: the lid holds that
    // setting's result, or a person's later choice.
    if (power.source == power_source::unknown || acted_on_before(power.source, acted_on.docked))
        return;
    // The file tells whether the service before this one had docked.
    bool was_docked = docked_word() != nullptr && last_docked();
    if (acted_on.docked && !was_docked)
        warnx("docked (%s): %s", reading.what, docked_word());
    act_on_change(was_docked, false);
}

void
follow_connected() {
    power.devd_connected = true;
    docked_read_soon();
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

// The floor never suspends without devd all the same: the lid is unknown.
static bool
polls_source() {
    return !power.devd_connected && battery_floor_set() && hold_count() > 0;
}

bool
follow_time_to_poll(timespec *left) {
    return reading_time_left(source_poll, polls_source(), left);
}

void
follow_poll() {
    if (!reading_due(source_poll, polls_source()))
        return;
    reading_taken(source_poll);
    source_is(read_power_source());
}

void
follow_settle() {
    (void)suspend_closed_lid(suspend_cause::lid_action, 0);
}

power_source
last_known_source() {
    return power.source != power_source::unknown ? power.source : acted_on.source;
}

void
power_status(reply_text &reply) {
    char docked[docked_field_capacity], battery[battery_field_capacity], heat[heat_field_capacity];
    const char *fields[] = {docked_field(docked, sizeof docked) ? docked : nullptr,
                            battery_field(battery, sizeof battery) ? battery : nullptr,
                            heat_field(heat, sizeof heat) ? heat : nullptr};
    format_power_reply(reply, power.source, power.lid, power.devd_connected, fields);
}
