#include "server/hold.hpp"

#include "runner/sysctl.hpp"
#include "runner/text.hpp"
#include "server/hold_words.hpp"
#include "server/request.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <unistd.h>

struct hold_entry {
    kept_connection conn; // the holder's; fd -1 for a timed hold
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
static int write_restore_file(const char *value, std::size_t length);
static void drop_restore_state();
static bool restore_after_holds();
static bool write_back(const char *saved);
static uid_t uid_of_hold(std::size_t index);

// The holds in the order they began, so the oldest is listed first.
static hold_entry holds[hold_capacity];
static std::size_t held;
// The lid state that the holds replaced; empty when none is remembered.
// It changes only once the file says the same.
static char restore_state[setting_capacity];
// The last end of the holds wrote a sleep type back; not yet taken.
static bool sleep_type_restored;
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
    if (write_lid_action("NONE") == -1) {
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
    if (share_for(hold_shares, peer.uid, held, uid_of_hold) != share_verdict::granted) {
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

static void
drop_restore_state() {
    if (restore_state[0] == '\0')
        return;
    restore_state[0] = '\0';
    if (unlink(restore_file_path) == -1 && errno != ENOENT)
        warn("%s", restore_file_path);
}

std::size_t
hold_count() {
    return held;
}

int
hold_connection(std::size_t index) {
    return holds[index].conn.fd;
}

void
end_hold(std::size_t index) {
    if (holds[index].conn.fd != -1)
        close(holds[index].conn.fd);
    std::memmove(&holds[index], &holds[index + 1], (held - index - 1) * sizeof holds[0]);
    held--;
    if (held == 0 && restore_after_holds())
        sleep_type_restored = true;
}

void
hold_readable(std::size_t index) {
    hold_entry &h = holds[index];
    kept_news news = read_kept(h.conn);
    if (news == kept_news::kept_sending)
        warnx("uid %u pid %d: hold ended: the holder kept sending", static_cast<unsigned>(h.uid),
              static_cast<int>(h.pid));
    if (news != kept_news::quiet)
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

bool
take_sleep_type_restored() {
    bool taken = sleep_type_restored;
    sleep_type_restored = false;
    return taken;
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

// Writes the state back only while the lid still reads NONE: any other
// value is someone's later choice. True when a sleep type was written.
static bool
restore_after_holds() {
    if (restore_state[0] == '\0')
        return false;
    char current[setting_capacity];
    bool read = read_lid_action(current, sizeof current) == 0;
    bool none = read && std::strcmp(current, "NONE") == 0;
    if (read && !none)
        warnx("holds ended: %s=%s kept (changed meanwhile)", lid_setting, current);
    bool restored = none && write_back(restore_state) && std::strcmp(restore_state, "NONE") != 0;
    drop_restore_state();
    return restored;
}

static bool
write_back(const char *saved) {
    if (write_lid_action(saved) == 0) {
        warnx("holds ended: restored %s=%s", lid_setting, saved);
        return true;
    }
    warnx("holds ended: could not restore %s=%s", lid_setting, saved);
    return false;
}

// The state in memory follows the file, so both always say the same.
static int
save_restore_state(const char *value) {
    std::size_t length = std::strlen(value);
    if (length >= sizeof restore_state || write_restore_file(value, length) == -1)
        return -1;
    std::memcpy(restore_state, value, length + 1);
    return 0;
}

// The file is replaced whole: the value goes to a new file, synced to disk
// and renamed over the old one, so a crash leaves the old state or the new
// one, never part of either. A failure removes what it wrote and leaves the
// old file as it was.
static int
write_restore_file(const char *value, std::size_t length) {
    char line[setting_capacity + 1];
    std::memcpy(line, value, length);
    line[length++] = '\n';
    int fd = open(restore_new_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd == -1) {
        warn("%s", restore_new_path);
        return -1;
    }
    bool written = fchmod(fd, 0644) == 0 &&
                   write(fd, line, length) == static_cast<ssize_t>(length) && fsync(fd) == 0;
    if (close(fd) == -1)
        written = false;
    if (written && rename(restore_new_path, restore_file_path) == 0)
        return 0;
    warn("%s", written ? restore_file_path : restore_new_path);
    (void)unlink(restore_new_path);
    return -1;
}

void
restore_after_crash() {
    // A new file that was never renamed into place is a write the crash
    // cut short; the old file still holds the state.
    if (unlink(restore_new_path) == -1 && errno != ENOENT)
        warn("%s", restore_new_path);
    int fd = open(restore_file_path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd == -1)
        return;
    ssize_t n = read(fd, restore_state, sizeof restore_state - 1);
    close(fd);
    restore_state[n > 0 ? static_cast<std::size_t>(n) : 0] = '\0';
    trim_line_ends(restore_state, std::strlen(restore_state));
    char current[setting_capacity];
    // Unreadable now: keep the file for the next start.
    if (read_lid_action(current, sizeof current) == -1) {
        restore_state[0] = '\0';
        return;
    }
    if (restore_state[0] != '\0' && std::strcmp(current, "NONE") == 0)
        write_back(restore_state);
    restore_state[0] = '\0';
    if (unlink(restore_file_path) == -1)
        warn("%s", restore_file_path);
}
