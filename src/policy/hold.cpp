#include "policy/hold.hpp"

#include "policy/closed_lid_suspend.hpp"
#include "policy/state_file.hpp"
#include "protocol/hold_words.hpp"
#include "runner/clock.hpp"
#include "runner/sysctl.hpp"
#include "runner/text.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <unistd.h>

struct hold_entry {
    kept_connection conn; // the holder's, as a handle only; fd -1 for a timed hold
    uid_t uid;
    pid_t pid;
    timespec ends;                // on CLOCK_MONOTONIC, for a timed hold
    long long counted;            // the wall clock's lead up to which ends has been moved
    char reason[reason_capacity]; // empty when none was given
};

static timespec now_on_hold_clock();
static void move_earlier(timespec &when, long long ns);
static void rebase_holds();
static void count_sleep_up_to(long long lead);
static int keep_lid_at_none(reply_text &reply);
static int save_restore_state(const char *value);
static int write_restore_file(const char *value);
static void drop_restore_state();
static bool try_write_back(const char *when);
static void keep_for_next_try();
static uid_t uid_of_hold(std::size_t index);

// The holds in the order they began, so the oldest is listed first.
static hold_entry holds[hold_capacity];
static std::size_t held;
// The lid state that the holds replaced; empty when none is remembered.
// It changes only once the file says the same.
static char restore_state[setting_capacity];
// The connections of bound holds that ended, in the order they ended, until
// the server has taken them all; with the holds, never more than
// hold_capacity.
static int ended[hold_capacity];
static std::size_t ended_count, ended_taken;
// A write-back that failed waits for its next try; warned once per state.
static struct {
    bool waiting;
    bool warned;
    timespec at; // on CLOCK_MONOTONIC
} retry;
// A person's lid command runs with the file saying what it writes; the
// state remembered before stays in memory, to be put back if it fails.
static bool staged;
// The wall clock's lead over CLOCK_MONOTONIC (wall_clock_lead) as
// count_time_asleep last measured it, and a jump in it that waits for a
// resume event to count as sleep.
static struct {
    bool measured;        // lead holds a measurement
    long long lead;       // at the last measurement
    bool pending;         // a jump waits for a resume event
    long long jumped_to;  // the lead the pending jump reached
    timespec pending_end; // on CLOCK_MONOTONIC: later, the jump was a clock step
} clocks = {};

// A resume event comes within this long after the wake that measured the
// sleep; a jump that none follows was the wall clock being set.
static constexpr long resume_wait_seconds = 10;
// Between tries of a write-back that failed, while no hold exists.
static constexpr time_t retry_interval_seconds = 60;

static constexpr table_share hold_shares = {hold_capacity, hold_share, holds_kept_for_root};

// See wall_clock_lead for why the deadlines stay on CLOCK_MONOTONIC.
static timespec
now_on_hold_clock() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

static void
move_earlier(timespec &when, long long ns) {
    when.tv_sec -= static_cast<time_t>(ns / 1000000000LL);
    when.tv_nsec -= static_cast<long>(ns % 1000000000LL);
    if (when.tv_nsec < 0) {
        when.tv_nsec += 1000000000L;
        when.tv_sec--;
    }
}

// A hold that finds the lid at a sleep type sets it to NONE, even beside
// other holds: a person may have chosen a sleep type since they began. It
// remembers what it replaced, the latest choice, over anything remembered
// before, and in the file first so that no moment exists in which a crash
// would lose it.
static int
keep_lid_at_none(reply_text &reply) {
    char current[setting_capacity];
    if (read_lid_action(current, sizeof current) == -1)
        return -1;
    if (std::strcmp(current, "NONE") == 0)
        return set_reply(reply, current);
    if (save_restore_state(current) == -1)
        return -1;
    if (!lid_action_written("NONE")) {
        drop_restore_state();
        return -1;
    }
    if (read_lid_action(reply.data(), reply.size()) == -1) {
        // Best effort: the hold is refused, so the lid should not stay NONE.
        (void)write_lid_action(restore_state);
        drop_restore_state();
        return -1;
    }
    return 0;
}

static uid_t
uid_of_hold(std::size_t index) {
    return holds[index].uid;
}

int
begin_hold(const peer_identity &peer, kept_connection conn, std::uint32_t seconds,
           std::string_view reason, reply_text &reply) {
    if (held + ended_count == hold_capacity ||
        share_for(hold_shares, peer.uid, held, uid_of_hold) != share_verdict::granted) {
        set_reply(reply, "error: too many holds");
        return -1;
    }
    hold_entry &h = holds[held];
    if (copy_text(h.reason, sizeof h.reason, reason) == -1) {
        set_reply(reply, "error: bad reason");
        return -1;
    }
    if (keep_lid_at_none(reply) == -1) {
        // The tool's output is not an answer to a hold.
        set_reply(reply, "error");
        return -1;
    }
    h.conn = conn;
    h.uid = peer.uid;
    h.pid = peer.pid;
    h.ends = now_on_hold_clock();
    h.ends.tv_sec += seconds;
    // Only sleep after this moment shortens it, even one whose resume event
    // is still to come.
    h.counted = wall_clock_lead();
    held++;
    return 0;
}

int
release_holds(uid_t uid, reply_text &reply) {
    for (std::size_t i = held; i-- > 0;) {
        if (uid == 0 || holds[i].uid == uid)
            end_hold(i);
    }
    return read_lid_action(reply.data(), reply.size());
}

std::size_t
list_holds(char *text, std::size_t capacity) {
    if (held == 0)
        return static_cast<std::size_t>(std::snprintf(text, capacity, "no holds\n"));
    timespec now = now_on_hold_clock();
    std::size_t length = 0;
    for (std::size_t i = 0; i < held && length < capacity; i++) {
        const hold_entry &h = holds[i];
        const char *why = h.reason[0] != '\0' ? " why=" : "";
        int n;
        if (h.conn.fd != -1) {
            n = std::snprintf(text + length, capacity - length,
                              "uid=%u pid=%d until=disconnect%s%s\n", static_cast<unsigned>(h.uid),
                              static_cast<int>(h.pid), why, h.reason);
        } else {
            long long ns = nanoseconds_until(h.ends, now);
            long long left = ns > 0 ? (ns + 999999999LL) / 1000000000LL : 0;
            n = std::snprintf(text + length, capacity - length, "uid=%u pid=%d left=%llds%s%s\n",
                              static_cast<unsigned>(h.uid), static_cast<int>(h.pid), left, why,
                              h.reason);
        }
        length += static_cast<std::size_t>(n);
    }
    return length < capacity ? length : capacity - 1;
}

const char *
remembered_lid_state() {
    return restore_state;
}

int
replace_restore_state(const char *value) {
    return save_restore_state(value);
}

void
forget_restore_state(uid_t uid) {
    if (restore_state[0] == '\0')
        return;
    warnx("holds: %s=%s will not be restored (uid %u changed it)", lid_setting, restore_state,
          static_cast<unsigned>(uid));
    drop_restore_state();
}

// The file takes value before the lid does: a crash while the command
// runs then brings back the person's result at the next start (the lid
// still NONE), or finds the lid already at it, which is kept.
int
stage_person_choice(const char *value) {
    std::size_t length = std::strlen(value);
    if (length >= sizeof restore_state || write_restore_file(value) == -1)
        return -1;
    staged = true;
    return 0;
}

void
end_person_choice(uid_t uid, bool done) {
    bool was_staged = staged;
    staged = false;
    if (done)
        forget_restore_state(uid);
    else if (was_staged && restore_state[0] != '\0')
        (void)write_restore_file(restore_state);
}

static void
drop_restore_state() {
    if (restore_state[0] == '\0')
        return;
    restore_state[0] = '\0';
    retry.waiting = false;
    retry.warned = false;
    remove_state_file(restore_file_path);
}

std::size_t
hold_count() {
    return held;
}

kept_connection &
hold_connection(std::size_t index) {
    return holds[index].conn;
}

void
end_hold(std::size_t index) {
    if (holds[index].conn.fd != -1)
        ended[ended_count++] = holds[index].conn.fd;
    std::memmove(&holds[index], &holds[index + 1], (held - index - 1) * sizeof holds[0]);
    held--;
    if (held == 0 && try_write_back("holds ended"))
        owe_closed_lid_suspend();
}

int
take_ended_hold() {
    if (ended_taken == ended_count) {
        ended_taken = ended_count = 0;
        return -1;
    }
    return ended[ended_taken++];
}

void
holder_ended(std::size_t index, bool kept_sending) {
    const hold_entry &h = holds[index];
    if (kept_sending)
        warnx("uid %u pid %d: hold ended: the holder kept sending", static_cast<unsigned>(h.uid),
              static_cast<int>(h.pid));
    end_hold(index);
}

void
end_expired_holds() {
    timespec now = now_on_hold_clock();
    for (std::size_t i = held; i-- > 0;) {
        if (holds[i].conn.fd == -1 && nanoseconds_until(holds[i].ends, now) <= 0)
            end_hold(i);
    }
}

// Every timed hold's time so far is settled: only later sleep counts.
static void
rebase_holds() {
    for (std::size_t i = 0; i < held; i++)
        holds[i].counted = clocks.lead;
}

// Each timed hold ends earlier by the part of the jump to lead that came
// after it was granted, then counts from the lead as it is now.
static void
count_sleep_up_to(long long lead) {
    for (std::size_t i = 0; i < held; i++) {
        hold_entry &h = holds[i];
        if (h.conn.fd == -1 && lead > h.counted)
            move_earlier(h.ends, lead - h.counted);
        h.counted = clocks.lead;
    }
    end_expired_holds();
}

void
count_time_asleep(bool resume_heard) {
    long long lead = wall_clock_lead();
    long long jump = lead - clocks.lead;
    bool first = !clocks.measured;
    clocks.measured = true;
    clocks.lead = lead;
    if (clocks.pending && nanoseconds_until(clocks.pending_end, now_on_hold_clock()) <= 0) {
        clocks.pending = false;
        warnx("holds: the wall clock was set (no resume followed); their time is kept");
        rebase_holds();
    }
    // A wall clock set back, or the usual drift, changes nothing.
    if (first || jump <= asleep_threshold_ns) {
        if (!clocks.pending)
            rebase_holds();
        return;
    }
    if (!resume_heard) {
        count_sleep_up_to(lead);
        return;
    }
    clocks.pending = true;
    clocks.jumped_to = lead;
    clocks.pending_end = deadline_after(resume_wait_seconds);
}

void
confirm_time_asleep() {
    if (!clocks.pending || nanoseconds_until(clocks.pending_end, now_on_hold_clock()) <= 0)
        return;
    clocks.pending = false;
    count_sleep_up_to(clocks.jumped_to);
}

bool
time_to_next_end(timespec *left) {
    timespec now = now_on_hold_clock();
    const timespec *nearest = nullptr;
    for (std::size_t i = 0; i < held; i++) {
        if (holds[i].conn.fd == -1 &&
            (nearest == nullptr || nanoseconds_until(holds[i].ends, *nearest) < 0))
            nearest = &holds[i].ends;
    }
    if (nearest != nullptr)
        *left = timeout_until(*nearest, now);
    return nearest != nullptr;
}

void
end_all_holds() {
    while (held > 0)
        end_hold(held - 1);
}

// A tool may store the value and then fail to report it (one that dies
// of SIGPIPE on a closed output): a write judged failed is followed by a
// read, and the value the lid then holds decides.
// Writes the state back only while the lid still reads NONE: any other
// value is someone's later choice, and the state is forgotten. A lid that
// cannot be read, or a write that fails, keeps the state, in memory and in
// the file, for the next try. True when a sleep type was written.
static bool
try_write_back(const char *when) {
    if (restore_state[0] == '\0')
        return false;
    char current[setting_capacity];
    if (read_lid_action(current, sizeof current) == -1) {
        keep_for_next_try();
        return false;
    }
    if (std::strcmp(current, "NONE") != 0) {
        warnx("%s: %s=%s kept (changed meanwhile)", when, lid_setting, current);
        drop_restore_state();
        return false;
    }
    if (!lid_action_written(restore_state)) {
        if (!retry.warned)
            warnx("could not restore %s=%s; kept for the next try", lid_setting, restore_state);
        retry.warned = true;
        keep_for_next_try();
        return false;
    }
    warnx("%s: restored %s=%s", when, lid_setting, restore_state);
    bool sleep_type = std::strcmp(restore_state, "NONE") != 0;
    drop_restore_state();
    return sleep_type;
}

static void
keep_for_next_try() {
    retry.waiting = true;
    retry.at = now_on_hold_clock();
    retry.at.tv_sec += retry_interval_seconds;
}

bool
time_to_retry_write_back(timespec *left) {
    if (!retry.waiting || held > 0 || restore_state[0] == '\0')
        return false;
    *left = timeout_until(retry.at, now_on_hold_clock());
    return true;
}

void
retry_write_back() {
    timespec left;
    if (time_to_retry_write_back(&left) && left.tv_sec == 0 && left.tv_nsec == 0 &&
        try_write_back("holds ended"))
        owe_closed_lid_suspend();
}

// The state in memory follows the file, so both always say the same.
static int
save_restore_state(const char *value) {
    std::size_t length = std::strlen(value);
    if (length >= sizeof restore_state || write_restore_file(value) == -1)
        return -1;
    std::memcpy(restore_state, value, length + 1);
    retry = {};
    return 0;
}

static int
write_restore_file(const char *value) {
    return replace_state_line(restore_file_path, restore_new_path, value);
}

// A state found in the file is remembered as if the holds that left it
// had just ended: written back now if it can be, else kept for later.
void
restore_after_crash() {
    // A new file that was never renamed into place is a write the crash
    // cut short; the old file still holds the state.
    if (unlink(restore_new_path) == -1 && errno != ENOENT)
        warn("%s", restore_new_path);
    if (read_state_file(restore_file_path, restore_state, sizeof restore_state) == -1)
        return;
    if (restore_state[0] == '\0') {
        remove_state_file(restore_file_path);
        return;
    }
    (void)try_write_back("holds ended");
}
