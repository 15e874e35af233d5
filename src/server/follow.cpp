#include "server/follow.hpp"

#include "lid/power.hpp"
#include "lid/suspend.hpp"
#include "runner/sysctl.hpp"
#include "server/battery.hpp"
#include "server/devd.hpp"
#include "server/hold.hpp"
#include "server/request.hpp"

#include <cstring>
#include <err.h>
#include <unistd.h>

static bool following();
static bool follows_source();
static bool connect_devd();
static void lose_devd();
static void learn_state();
static void source_is(power_source source);
static void change_source(power_source source);
static void take_event(devd_event event);

// Owned here: the connection to devd and what waits to be done.
static struct {
    int fd = -1;
    unsigned delay;    // seconds of the last wait before a retry; 0: none under way
    bool warned;       // this loss has been reported
    timespec retry_at; // on CLOCK_MONOTONIC
    bool suspend_owed; // an automatic change made the lid action a sleep type
} devd = {};

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
    return true;
}

static void
lose_devd() {
    warnx("devd: connection closed");
    close(devd.fd);
    devd.fd = -1;
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

static void
source_is(power_source source) {
    if (source == power.source)
        return;
    power.source = source;
    if (source != power_source::unknown)
        change_source(source);
}

// Holds win against automatic changes: the change waits for them to end.
static void
change_source(power_source source) {
    if (hold_count() > 0) {
        if (const char *value = defer_power_setting(source))
            replace_restore_state(value);
        return;
    }
    if (apply_power_setting(source))
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
        learn_state();
        break;
    case devd_event::battery_changed:
    case devd_event::none:
        break;
    }
}

void
follow_start() {
    load_power_settings();
    load_battery_floor();
    if (!following())
        return;
    if (connect_devd())
        power.lid = read_lid_position();
    power.source = read_power_source();
    // Applied as the start's own choice: the kernel acts on it at the next
    // lid close, so no suspend is owed.
    apply_power_setting(power.source);
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

void
follow_sleep_type_restored() {
    devd.suspend_owed = true;
}

// The kernel acts on the lid action only when the lid moves, so a sleep
// type set while the lid is already shut would never take effect.
void
follow_settle() {
    if (!devd.suspend_owed)
        return;
    devd.suspend_owed = false;
    if (power.lid != lid_position::closed)
        return;
    char type[setting_capacity];
    if (sysctl_read(lid_setting, type, sizeof type) == -1)
        return;
    bool is_s3 = s3_stype[0] != '\0' && std::strcmp(type, s3_stype) == 0;
    bool is_s0ix = s0ix_stype[0] != '\0' && std::strcmp(type, s0ix_stype) == 0;
    if (!is_s3 && !is_s0ix)
        return;
    warnx("lid closed: suspending now (%s)", type);
    reply_text reply{};
    if (is_s3)
        suspend_s3(reply);
    else
        suspend_s0ix(reply);
    power.lid = read_lid_position();
}

void
follow_suspended() {
    devd.suspend_owed = false;
}

void
power_status(reply_text &reply) {
    char battery[battery_field_capacity];
    bool floor = battery_field(battery, sizeof battery);
    format_power_reply(reply, power.source, power.lid, devd.fd != -1, floor ? battery : nullptr);
}
