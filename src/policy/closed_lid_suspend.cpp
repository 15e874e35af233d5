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
static bool request_suspend(std::uint8_t mode);
static void end_passed_holdoff();
static bool hold_off(suspend_cause cause);

// While a sleep is pending the kernel takes a second request as the
// acknowledgement that lets the machine sleep (sys/dev/acpica/acpi.c), so
// none is sent until a resume event, or for this long.
static constexpr long pending_suspend_seconds = 60;

// The displays, the dock and the battery are probed late after a resume,
// and a person who opens a lid at once should not find the machine
// asleep again, so no automatic suspend follows a resume this soon.
static constexpr char holdoff_variable[] = "vantrel_resume_holdoff";
static constexpr int default_holdoff_seconds = 30;
static constexpr int longest_holdoff_seconds = 300;

// Owned here.
static struct {
    bool owed;                // an automatic change made the lid action a sleep type
    bool requested;           // a suspend was requested and no resume event has come yet
    timespec requested_until; // on CLOCK_MONOTONIC: then it counts as lost
    int holdoff_seconds = default_holdoff_seconds;
    bool holding_off;       // a resume began a hold-off not yet seen to pass
    timespec holdoff_until; // on CLOCK_MONOTONIC
    bool held[2];           // by cause: a suspend waits for the hold-off's end
    bool floor_recheck;     // the floor's held suspend is to be decided anew
} closed_lid = {};

void
load_resume_holdoff() {
    int seconds = load_number_setting(holdoff_variable, 0, longest_holdoff_seconds);
    if (seconds != -1)
        closed_lid.holdoff_seconds = seconds;
}

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
static bool
request_suspend(std::uint8_t mode) {
    reply_text reply{};
    int rc = mode == s3 ? suspend_s3(reply) : suspend_s0ix(reply);
    if (rc != 0) {
        warnx("suspend failed (%s): the machine stays awake", mode == s3 ? s3_tool : s0ix_tool);
        return false;
    }
    closed_lid.requested = true;
    closed_lid.requested_until = deadline_after(pending_suspend_seconds);
    return true;
}

// Once the hold-off has passed, what it held is asked again: lid_action by
// the call under way (what it owed is still owed), the floor through its
// recheck.
static void
end_passed_holdoff() {
    if (!closed_lid.holding_off ||
        nanoseconds_until(closed_lid.holdoff_until, deadline_after(0)) > 0)
        return;
    closed_lid.holding_off = false;
    closed_lid.floor_recheck |= closed_lid.held[static_cast<int>(suspend_cause::battery_floor)];
    closed_lid.held[0] = closed_lid.held[1] = false;
}

// Only a suspend that would happen now is held off: one for a lid known
// closed. The log gives the time left once per hold-off.
static bool
hold_off(suspend_cause cause) {
    end_passed_holdoff();
    if (!closed_lid.holding_off || power.lid != lid_position::closed)
        return false;
    if (!closed_lid.held[0] && !closed_lid.held[1]) {
        long long ns = nanoseconds_until(closed_lid.holdoff_until, deadline_after(0));
        warnx("held off after resume: suspend in %ds",
              static_cast<int>((ns + 999999999LL) / 1000000000LL));
    }
    closed_lid.held[static_cast<int>(cause)] = true;
    return true;
}

suspend_outcome
suspend_closed_lid(suspend_cause cause, int battery_level) {
    bool floor = cause == suspend_cause::battery_floor;
    end_passed_holdoff();
    if (!floor && !closed_lid.owed)
        return suspend_outcome::none;
    if (hold_off(cause))
        return suspend_outcome::held_off;
    char type[setting_capacity] = "";
    if (!floor && !owed_sleep_type(type, sizeof type))
        return suspend_outcome::none;
    if (!lid_known_closed()) {
        if (!floor)
            warnx("lid not known closed: not suspending");
        return suspend_outcome::none;
    }
    std::uint8_t mode = switch_mode;
    if (!floor)
        mode = is_stype(type, s3_stype) ? s3 : s0ix;
    if (!may_suspend(mode))
        return suspend_outcome::refused;
    if (floor)
        warnx("battery at %d%%: lid closed: suspending now", battery_level);
    else
        warnx("lid closed: suspending now (%s)", type);
    bool requested = request_suspend(mode);
    // Whatever was owed, by whichever cause, is settled by this request.
    closed_lid.owed = false;
    return requested ? suspend_outcome::requested : suspend_outcome::refused;
}

void
closed_lid_resumed() {
    closed_lid.requested = false;
    if (closed_lid.holdoff_seconds == 0)
        return;
    closed_lid.holding_off = true;
    closed_lid.holdoff_until = deadline_after(closed_lid.holdoff_seconds);
}

void
closed_lid_opened() {
    closed_lid.owed = false;
    closed_lid.held[static_cast<int>(suspend_cause::lid_action)] = false;
}

bool
holdoff_time_left(timespec *left) {
    if (!closed_lid.held[0] && !closed_lid.held[1])
        return false;
    *left = timeout_until(closed_lid.holdoff_until, deadline_after(0));
    return true;
}

bool
closed_lid_floor_recheck() {
    end_passed_holdoff();
    bool recheck = closed_lid.floor_recheck;
    closed_lid.floor_recheck = false;
    return recheck;
}
