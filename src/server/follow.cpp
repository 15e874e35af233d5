#include "server/follow.hpp"

#include "lid/suspend.hpp"
#include "runner/sysctl.hpp"
#include "server/battery.hpp"
#include "server/devd.hpp"
#include "server/follow_state.hpp"
#include "server/hold.hpp"
#include "server/request.hpp"

#include <cstring>
#include <err.h>
#include <unistd.h>

static const char *power_setting(power_source source);
static bool following();
static bool follows_source();
static bool connect_devd();
static void lose_devd();
static void learn_state();
static void source_is(power_source source);
static void change_source(power_source source);
static void take_event(devd_event event);
static bool is_stype(const char *type, const char *stype);
static bool lid_known_closed();
static void suspend_closed(const char *type);
static bool suspend_pending();

power_following power = {nullptr, nullptr, power_source::unknown, lid_position::unknown};

// Owned here: the connection to devd and what waits to be done.
static struct {
    int fd = -1;
    unsigned delay;    // seconds of the last wait before a retry; 0: none under way
    bool warned;       // this loss has been reported
    timespec retry_at; // on CLOCK_MONOTONIC
    bool suspend_owed; // an automatic change made the lid action a sleep type
    // The last source the settings were carried out for. It outlives a loss
    // of devd, so a reconnection that finds the same source does nothing and
    // cannot undo what a person chose meanwhile.
    power_source acted_on;
    // An automatic suspend was requested and no resume event has come yet.
    bool requested;
    timespec requested_until; // on CLOCK_MONOTONIC: then it counts as lost
} devd = {};

// While a sleep is pending the kernel takes a second request as the
// acknowledgement that lets the machine sleep (sys/dev/acpica/acpi.c), so
// none is sent until a resume event, or for this long.
static constexpr long pending_suspend_seconds = 60;

// The word set for source; null when none is, and always for unknown.
static const char *
power_setting(power_source source) {
    if (source == power_source::ac)
        return power.on_ac;
    if (source == power_source::battery)
        return power.on_battery;
    return nullptr;
}

// devd is followed while a setting or the battery floor asks for it, or a
// hold exists.
static bool
following() {
    return follows_source() || hold_count() > 0;
}

static bool
follows_source() {
    return power.on_ac != nullptr || power.on_battery != nullptr || battery_floor_set();
}

// Returns true when connected. A failure is reported once per loss, and the
// next attempt waits 1, 2, 4 ... seconds, up to a minute.
static bool
connect_devd() {
    devd.fd = devd_connect();
    if (devd.fd == -1) {
        if (!devd.warned)
            warn("devd: %s", devd_socket_path);
        devd.warned = true;
        devd.delay = devd_next_delay(devd.delay);
        devd.retry_at = deadline_after(devd.delay);
        return false;
    }
    devd.delay = 0;
    devd.warned = false;
    warnx("devd: connected");
    return true;
}

// Whatever happens from now on goes unheard, so the lid and the source are
// unknown until a new connection reads them.
static void
lose_devd() {
    warnx("devd: connection closed");
    close(devd.fd);
    devd.fd = -1;
    power.source = power_source::unknown;
    power.lid = lid_position::unknown;
    devd.warned = true;
    devd.delay = devd_next_delay(0);
    devd.retry_at = deadline_after(devd.delay);
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
    if (source == power_source::unknown || source == devd.acted_on)
        return;
    devd.acted_on = source;
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
        devd.suspend_owed = true;
}

static void
take_event(devd_event event) {
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
        devd.requested = false;
        learn_state();
        break;
    case devd_event::battery_changed:
    case devd_event::none:
        break;
    }
}

void
follow_start() {
    power.on_ac = load_power_setting("vantrel_on_ac");
    power.on_battery = load_power_setting("vantrel_on_battery");
    load_battery_floor();
    if (!following())
        return;
    if (connect_devd())
        power.lid = read_lid_position();
    // A start without devd is no loss: the source is read all the same.
    power.source = read_power_source();
    devd.acted_on = power.source;
    // Applied as the start's own choice: the kernel acts on it at the next
    // lid close, so no suspend is owed.
    apply_power_setting(power.source, power_setting(power.source));
}

int
follow_descriptor() {
    return devd.fd;
}

bool
follow_time_to_retry(timespec *left) {
    if (devd.fd != -1 || !following())
        return false;
    *left = timeout_until(devd.retry_at, deadline_after(0));
    return true;
}

void
follow_wake(const fd_set &readable) {
    if (devd.fd != -1) {
        if (!FD_ISSET(devd.fd, &readable))
            return;
        devd_received got = devd_receive(devd.fd);
        if (got.status == devd_status::closed)
            lose_devd();
        else if (got.status == devd_status::message)
            take_event(got.event);
        return;
    }
    timespec left;
    if (follow_time_to_retry(&left) && left.tv_sec == 0 && left.tv_nsec == 0 && connect_devd())
        learn_state();
}

void
follow_hold_began() {
    if (devd.fd == -1 && devd.delay == 0 && connect_devd())
        learn_state();
}

// The kernel acts on the lid action only when the lid moves, so a sleep
// type set while the lid is already shut would never take effect.
void
follow_settle() {
    bool restored = take_sleep_type_restored();
    bool owed = devd.suspend_owed || restored;
    devd.suspend_owed = false;
    if (!owed || power.lid == lid_position::open)
        return;
    char type[setting_capacity];
    if (read_lid_action(type, sizeof type) == -1 ||
        (!is_stype(type, s3_stype) && !is_stype(type, s0ix_stype)))
        return;
    if (!lid_known_closed()) {
        warnx("lid not known closed: not suspending");
        return;
    }
    suspend_closed(type);
}

// True when type is the kernel's name stype, which may be unknown ("").
static bool
is_stype(const char *type, const char *stype) {
    return stype[0] != '\0' && std::strcmp(type, stype) == 0;
}

// What the service knows and a read made now must both say closed: a
// position from before devd went quiet, or an open event still on its way,
// would otherwise suspend a machine in use.
static bool
lid_known_closed() {
    return power.lid == lid_position::closed && read_lid_position() == lid_position::closed;
}

// Nothing is read here "as at a resume": the tool returns once the kernel
// has taken the request, before the machine sleeps; devd's resume event
// brings the lid and the source back.
static void
suspend_closed(const char *type) {
    std::uint8_t mode = is_stype(type, s3_stype) ? s3 : s0ix;
    if (!may_suspend_automatically(mode))
        return;
    warnx("lid closed: suspending now (%s)", type);
    suspend_automatically(mode);
}

static bool
suspend_pending() {
    return devd.requested && nanoseconds_until(devd.requested_until, deadline_after(0)) > 0;
}

bool
may_suspend_automatically(std::uint8_t mode) {
    if ((mode == s3 ? s3_stype : s0ix_stype)[0] == '\0') {
        warnx("no %s sleep type: the machine stays awake", sleep_kind(mode));
        return false;
    }
    if (suspend_pending()) {
        warnx("a suspend is still pending: not requesting another");
        return false;
    }
    return true;
}

void
suspend_automatically(std::uint8_t mode) {
    reply_text reply{};
    int rc = mode == s3 ? suspend_s3(reply) : suspend_s0ix(reply);
    if (rc != 0) {
        warnx("suspend failed (%s): the machine stays awake", mode == s3 ? s3_tool : s0ix_tool);
        return;
    }
    devd.requested = true;
    devd.requested_until = deadline_after(pending_suspend_seconds);
}

void
follow_suspended() {
    devd.suspend_owed = false;
    (void)take_sleep_type_restored();
}

power_source
last_known_source() {
    return power.source != power_source::unknown ? power.source : devd.acted_on;
}

void
power_status(reply_text &reply) {
    char battery[battery_field_capacity];
    bool floor = battery_field(battery, sizeof battery);
    format_power_reply(reply, power.source, power.lid, devd.fd != -1, floor ? battery : nullptr);
}
