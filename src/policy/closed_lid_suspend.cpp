#include "policy/closed_lid_suspend.hpp"

#include "lid/lid.hpp"
#include "lid/power.hpp"
#include "lid/suspend.hpp"
#include "policy/follow_state.hpp"
#include "runner/clock.hpp"
#include "runner/sysctl.hpp"

#include <cstddef>
#include <cstring>
#include <ctime>
#include <err.h>

static bool owed_sleep_type(char *type, std::size_t capacity);
static bool is_stype(const char *type, const char *stype);
static bool lid_known_closed();
static bool suspend_pending();
static bool may_suspend(std::uint8_t mode);
static void request_suspend(std::uint8_t mode);

// While a sleep is pending the kernel takes a second request as the
// acknowledgement that lets the machine sleep (sys/dev/acpica/acpi.c), so
// none is sent until a resume event, or for this long.
static constexpr long pending_suspend_seconds = 60;

// Owned here.
static struct {
    bool owed;                // an automatic change made the lid action a sleep type
    bool requested;           // a suspend was requested and no resume event has come yet
    timespec requested_until; // on CLOCK_MONOTONIC: then it counts as lost
} closed_lid = {};

void
owe_closed_lid_suspend() {
    closed_lid.owed = true;
}

// Takes what is owed: true, with the lid action's sleep type in type, when
// a suspend was owed, the lid is not known open and the action reads a
// sleep type.
static bool
owed_sleep_type(char *type, std::size_t capacity) {
    bool was_owed = closed_lid.owed;
    closed_lid.owed = false;
    if (!was_owed || power.lid == lid_position::open)
        return false;
    return read_lid_action(type, capacity) == 0 &&
           (is_stype(type, s3_stype) || is_stype(type, s0ix_stype));
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

static bool
suspend_pending() {
    return closed_lid.requested &&
           nanoseconds_until(closed_lid.requested_until, deadline_after(0)) > 0;
}

static bool
may_suspend(std::uint8_t mode) {
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

// Nothing is read here "as at a resume": the tool returns once the kernel
// has taken the request, before the machine sleeps; devd's resume event
// brings the lid and the source back.
static void
request_suspend(std::uint8_t mode) {
    reply_text reply{};
    int rc = mode == s3 ? suspend_s3(reply) : suspend_s0ix(reply);
    if (rc != 0) {
        warnx("suspend failed (%s): the machine stays awake", mode == s3 ? s3_tool : s0ix_tool);
        return;
    }
    closed_lid.requested = true;
    closed_lid.requested_until = deadline_after(pending_suspend_seconds);
}

bool
suspend_closed_lid(suspend_cause cause, int battery_level) {
    bool floor = cause == suspend_cause::battery_floor;
    char type[setting_capacity] = "";
    if (!floor && !owed_sleep_type(type, sizeof type))
        return false;
    if (!lid_known_closed()) {
        if (!floor)
            warnx("lid not known closed: not suspending");
        return false;
    }
    std::uint8_t mode = switch_mode;
    if (!floor)
        mode = is_stype(type, s3_stype) ? s3 : s0ix;
    if (!may_suspend(mode))
        return true;
    if (floor)
        warnx("battery at %d%%: lid closed: suspending now", battery_level);
    else
        warnx("lid closed: suspending now (%s)", type);
    request_suspend(mode);
    // Whatever was owed, by whichever cause, is settled by this request.
    closed_lid.owed = false;
    return true;
}

void
closed_lid_resumed() {
    closed_lid.requested = false;
}
