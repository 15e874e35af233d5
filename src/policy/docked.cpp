#include "policy/docked.hpp"

#include "lid/lid.hpp"
#include "lid/power.hpp"
#include "policy/state_file.hpp"
#include "runner/clock.hpp"
#include "runner/sysctl.hpp"
#include "runner/text.hpp"

#include <cstdio>
#include <cstring>
#include <err.h>

static void read_at(bool *waiting, timespec *at, timespec when);
static bool passed(bool waiting, const timespec &at, const timespec &now);
static const char *state_name(dock_state state);

// A burst of HOTPLUG events (a dock brings several displays up, and a
// driver sends one for each property) gives one reading: this long after
// its last event, and never later than its first event's bound.
static constexpr long burst_quiet_seconds = 2;
static constexpr long burst_bound_seconds = 5;
// The driver probes the displays again after a resume, late.
static constexpr long resume_wait_seconds = 2;

// Owned here.
static struct {
    const char *word;        // vantrel_on_docked
    dock_state state;        // the last reading
    bool due;                // read at the next look
    bool burst;              // a HOTPLUG burst is under way
    timespec burst_first;    // its first event, on CLOCK_MONOTONIC
    timespec burst_read_at;  // when it is read
    bool resumed;            // a resume waits for its reading
    timespec resume_read_at; // when it is read
    char undock_action[setting_capacity];
} docked = {};

void
load_docked_setting() {
    docked.word = load_power_setting("vantrel_on_docked");
    // Without the setting docking changes nothing, and a kept action would
    // only be mistaken for a docking's later on.
    if (docked.word == nullptr) {
        remove_state_file(undock_file_path);
        return;
    }
    // A file another value than a lid action's name could not have come
    // from this service; it is not written back.
    char kept[setting_capacity];
    if (read_state_file(undock_file_path, kept, sizeof kept) == 0 && kept[0] != '\0' &&
        std::strlen(kept) < sizeof docked.undock_action)
        (void)copy_text(docked.undock_action, sizeof docked.undock_action, kept);
}

const char *
docked_word() {
    return docked.word;
}

void
docked_read_soon() {
    docked.due = docked.word != nullptr;
}

// Sets a deadline, or moves one that waits already only earlier.
static void
read_at(bool *waiting, timespec *at, timespec when) {
    if (!*waiting || nanoseconds_until(when, *at) < 0)
        *at = when;
    *waiting = true;
}

void
docked_event(devd_event event) {
    if (docked.word == nullptr)
        return;
    if (event == devd_event::dock_changed) {
        docked.due = true;
    } else if (event == devd_event::display_changed) {
        if (!docked.burst)
            docked.burst_first = deadline_after(0);
        timespec bound = docked.burst_first;
        bound.tv_sec += burst_bound_seconds;
        timespec quiet = deadline_after(burst_quiet_seconds);
        docked.burst_read_at = nanoseconds_until(quiet, bound) < 0 ? quiet : bound;
        docked.burst = true;
    } else if (event == devd_event::resumed) {
        read_at(&docked.resumed, &docked.resume_read_at, deadline_after(resume_wait_seconds));
    }
}

bool
docked_time_to_read(timespec *left) {
    if (docked.word == nullptr || (!docked.due && !docked.burst && !docked.resumed))
        return false;
    timespec now = deadline_after(0);
    *left = {};
    if (docked.due)
        return true;
    timespec at = docked.burst ? docked.burst_read_at : docked.resume_read_at;
    if (docked.burst && docked.resumed && nanoseconds_until(docked.resume_read_at, at) < 0)
        at = docked.resume_read_at;
    *left = timeout_until(at, now);
    return true;
}

static bool
passed(bool waiting, const timespec &at, const timespec &now) {
    return waiting && nanoseconds_until(at, now) <= 0;
}

bool
docked_reading_due(dock_reading *reading) {
    if (docked.word == nullptr || (!docked.due && !docked.burst && !docked.resumed))
        return false;
    timespec now = deadline_after(0);
    bool burst_over = passed(docked.burst, docked.burst_read_at, now);
    bool resume_over = passed(docked.resumed, docked.resume_read_at, now);
    if (!docked.due && !burst_over && !resume_over)
        return false;
    docked.due = false;
    docked.burst &= !burst_over;
    docked.resumed &= !resume_over;
    *reading = read_dock_state();
    docked.state = reading->state;
    return true;
}

dock_state
docked_state() {
    return docked.state;
}

static const char *
state_name(dock_state state) {
    static constexpr const char *names[] = {"unknown", "yes", "no"};
    return names[static_cast<std::uint8_t>(state)];
}

bool
docked_field(char *out, std::size_t capacity) {
    if (docked.word == nullptr)
        return false;
    std::snprintf(out, capacity, "docked=%s", state_name(docked.state));
    return true;
}

const char *
undock_action() {
    return docked.undock_action;
}

int
keep_undock_action(const char *value) {
    if (std::strlen(value) >= sizeof docked.undock_action ||
        replace_state_line(undock_file_path, undock_new_path, value) == -1)
        return -1;
    (void)copy_text(docked.undock_action, sizeof docked.undock_action, value);
    return 0;
}

void
undock_action_overruled(uid_t uid) {
    if (docked.undock_action[0] == '\0')
        return;
    warnx("docked: %s=%s will not be restored (uid %u changed it)", lid_setting,
          docked.undock_action, static_cast<unsigned>(uid));
    forget_undock_action();
}

void
forget_undock_action() {
    if (docked.undock_action[0] == '\0')
        return;
    docked.undock_action[0] = '\0';
    remove_state_file(undock_file_path);
}
