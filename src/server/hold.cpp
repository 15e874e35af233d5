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
    int fd; // the holder's connection, or -1 for a timed hold
    uid_t uid;
    pid_t pid;
    timespec ends;                // on hold_clock(), for a timed hold
    char reason[reason_capacity]; // empty when none was given
};

static clockid_t hold_clock();
static timespec now_on_hold_clock();
static int keep_lid_at_none(reply_text &reply);
static int save_restore_state(const char *value);
static bool restore_after_holds();
static bool write_back(const char *saved);

// The holds in the order they began, so the oldest is listed first.
static hold_entry holds[hold_capacity];
static std::size_t held;
// The lid state that the holds replaced; empty when none is remembered.
static char restore_state[setting_capacity];

// A hold's time counts the time the machine sleeps. FreeBSD's monotonic
// clock goes on while suspended; Linux's stops, and its boot-time clock is
// the one that goes on.
static clockid_t
hold_clock() {
#if defined(__linux__)
    return CLOCK_BOOTTIME;
#else
    return CLOCK_MONOTONIC;
#endif
}

static timespec
now_on_hold_clock() {
    timespec now;
    clock_gettime(hold_clock(), &now);
    return now;
}

// A hold that finds the lid at a sleep type sets it to NONE, even beside
// other holds: a person may have chosen a sleep type since they began. It
// remembers what it replaced, the latest choice, over anything remembered
// before, and in the file first so that no moment exists in which a crash
// would lose it.
static int
keep_lid_at_none(reply_text &reply) {
    char current[setting_capacity];
    if (sysctl_read(lid_setting, current, sizeof current) == -1)
        return -1;
    if (std::strcmp(current, "NONE") == 0)
        return set_reply(reply, current);
    if (save_restore_state(current) == -1)
        return -1;
    if (sysctl_write(lid_setting, "NONE") == -1) {
        forget_restore_state();
        return -1;
    }
    if (sysctl_read(lid_setting, reply.data(), reply.size()) == -1) {
        // Best effort: the hold is refused, so the lid should not stay NONE.
        (void)sysctl_write(lid_setting, restore_state);
        forget_restore_state();
        return -1;
    }
    return 0;
}

int
begin_hold(const peer_identity &peer, int fd, std::uint32_t seconds, std::string_view reason,
           reply_text &reply) {
    if (held == hold_capacity) {
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
    h.fd = fd;
    h.uid = peer.uid;
    h.pid = peer.pid;
    h.ends = now_on_hold_clock();
    h.ends.tv_sec += seconds;
    held++;
    return 0;
}

int
release_holds(uid_t uid, reply_text &reply, bool *restored) {
    for (std::size_t i = held; i-- > 0;) {
        if (uid == 0 || holds[i].uid == uid)
            *restored |= end_hold(i);
    }
    return sysctl_read(lid_setting, reply.data(), reply.size());
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
        if (h.fd != -1) {
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

int
replace_restore_state(const char *value) {
    return save_restore_state(value);
}

void
forget_restore_state() {
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
    return holds[index].fd;
}

bool
end_hold(std::size_t index) {
    if (holds[index].fd != -1)
        close(holds[index].fd);
    std::memmove(&holds[index], &holds[index + 1], (held - index - 1) * sizeof holds[0]);
    held--;
    return held == 0 && restore_after_holds();
}

bool
end_expired_holds() {
    timespec now = now_on_hold_clock();
    bool restored = false;
    for (std::size_t i = held; i-- > 0;) {
        if (holds[i].fd == -1 && nanoseconds_until(holds[i].ends, now) <= 0)
            restored |= end_hold(i);
    }
    return restored;
}

bool
time_to_next_end(timespec *left) {
    timespec now = now_on_hold_clock();
    const timespec *nearest = nullptr;
    for (std::size_t i = 0; i < held; i++) {
        if (holds[i].fd == -1 &&
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
    bool restored = sysctl_read(lid_setting, current, sizeof current) == 0 &&
                    std::strcmp(current, "NONE") == 0 && write_back(restore_state) &&
                    std::strcmp(restore_state, "NONE") != 0;
    forget_restore_state();
    return restored;
}

static bool
write_back(const char *saved) {
    if (sysctl_write(lid_setting, saved) == 0) {
        warnx("holds ended: restored %s=%s", lid_setting, saved);
        return true;
    }
    warnx("holds ended: could not restore %s=%s", lid_setting, saved);
    return false;
}

// The file is replaced whole, so a crash leaves the old state or the new
// one, never part of either.
static int
save_restore_state(const char *value) {
    if (copy_text(restore_state, sizeof restore_state, value) == -1)
        return -1;
    char line[setting_capacity + 1];
    std::size_t length = std::strlen(value);
    std::memcpy(line, value, length);
    line[length++] = '\n';
    int fd = open(restore_file_path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool saved = fd != -1 && fchmod(fd, 0644) == 0 &&
                 write(fd, line, length) == static_cast<ssize_t>(length);
    if (fd != -1 && close(fd) == -1)
        saved = false;
    if (!saved) {
        warn("%s", restore_file_path);
        forget_restore_state();
        return -1;
    }
    return 0;
}

void
restore_after_crash() {
    int fd = open(restore_file_path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd == -1)
        return;
    ssize_t n = read(fd, restore_state, sizeof restore_state - 1);
    close(fd);
    restore_state[n > 0 ? static_cast<std::size_t>(n) : 0] = '\0';
    trim_line_ends(restore_state, std::strlen(restore_state));
    char current[setting_capacity];
    // Unreadable now: keep the file for the next start.
    if (sysctl_read(lid_setting, current, sizeof current) == -1) {
        restore_state[0] = '\0';
        return;
    }
    if (restore_state[0] != '\0' && std::strcmp(current, "NONE") == 0)
        write_back(restore_state);
    restore_state[0] = '\0';
    if (unlink(restore_file_path) == -1)
        warn("%s", restore_file_path);
}
