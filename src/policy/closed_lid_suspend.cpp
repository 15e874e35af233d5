#include "policy/closed_lid_suspend.hpp"

#include "lid/lid.hpp"
#include "lid/power.hpp"
#include "lid/suspend.hpp"
#include "policy/follow_state.hpp"
#include "runner/sysctl.hpp"

#include <cstddef>
#include <cstring>
#include <err.h>

static bool owed_sleep_type(char *type, std::size_t capacity);
static bool is_stype(const char *type, const char *stype);
static bool lid_known_closed();

// An automatic change made the lid action a sleep type; not yet settled.
static bool owed;

void
owe_closed_lid_suspend() {
    owed = true;
}

// Takes what is owed: true, with the lid action's sleep type in type, when
// a suspend was owed, the lid is not known open and the action reads a
// sleep type.
static bool
owed_sleep_type(char *type, std::size_t capacity) {
    bool was_owed = owed;
    owed = false;
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
    if (floor)
        warnx("battery at %d%%: lid closed: suspending now", battery_level);
    else
        warnx("lid closed: suspending now (%s)", type);
    reply_text reply{};
    if (floor ? switch_mode == s3 : is_stype(type, s3_stype))
        suspend_s3(reply);
    else
        suspend_s0ix(reply);
    // Whatever was owed, by whichever cause, is settled by this suspend.
    owed = false;
    return true;
}
