#include "tool.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace sim {

Buf::~Buf() {
    if (data_ != small_) {
        free(data_);
    }
}

void
Buf::add(const char *s, size_t n) {
    if (len_ + n + 1 > cap_) {
        size_t cap = cap_;
        while (len_ + n + 1 > cap) {
            cap *= 2;
        }
        char *p = static_cast<char *>(malloc(cap));
        if (p == nullptr) {
            static const char msg[] = "sim: out of memory\n";
            write_all(2, msg, sizeof msg - 1);
            _exit(71);
        }
        memcpy(p, data_, len_);
        if (data_ != small_) {
            free(data_);
        }
        data_ = p;
        cap_ = cap;
    }
    memcpy(data_ + len_, s, n);
    len_ += n;
    data_[len_] = '\0';
}

void
Buf::add(const char *s) {
    add(s, strlen(s));
}

void
Buf::add_uint(unsigned long v) {
    char tmp[24];
    size_t i = sizeof tmp;
    do {
        tmp[--i] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    add(tmp + i, sizeof tmp - i);
}

bool
write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN) {
                // The caller handed us a non-blocking pipe; wait for room
                // rather than dropping output.
                struct pollfd pfd = {fd, POLLOUT, 0};
                poll(&pfd, 1, -1);
                continue;
            }
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void
error(const char *tool, const char *a, const char *b, const char *c) {
    Buf m;
    m.add(tool);
    m.add(": ");
    m.add(a);
    if (b != nullptr) {
        m.add(b);
    }
    if (c != nullptr) {
        m.add(c);
    }
    m.add('\n');
    write_all(2, m.c_str(), m.size());
}

const char *
state_dir(const char *tool) {
    const char *dir = getenv("VANTREL_SIM_STATE");
    if (dir == nullptr || dir[0] == '\0') {
        error(tool, "VANTREL_SIM_STATE not set");
        exit(70);
    }
    if (dir[0] != '/') {
        // A relative path would silently mean different folders for the
        // service and for the test that inspects the records.
        error(tool, "VANTREL_SIM_STATE must be an absolute path: ", dir);
        exit(70);
    }
    return dir;
}

bool
valid_name(const char *name) {
    return name[0] != '\0' && strchr(name, '/') == nullptr && strcmp(name, ".") != 0 &&
           strcmp(name, "..") != 0;
}

// Opens DIR/log/LOG for appending.  The log folder is world-writable and
// sticky so that unprivileged callers can record too; with
// fs.protected_regular set, an O_CREAT open of someone else's file there is
// refused even for root, so O_CREAT is only used when the file is missing.
static int
open_log(const char *path) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = open(path, O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY);
        if (fd >= 0 || errno != ENOENT) {
            return fd;
        }
        fd = open(path, O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_CREAT | O_EXCL, 0666);
        if (fd >= 0) {
            // The umask must not keep other users from appending later.
            fchmod(fd, 0666);
            return fd;
        }
        if (errno != EEXIST) {
            return -1;
        }
    }
    return -1;
}

void
log_line(const char *state, const char *log, Buf &line) {
    Buf path;
    path.add(state);
    path.add("/log/");
    path.add(log);
    int fd = open_log(path.c_str());
    if (fd < 0) {
        return;
    }
    line.add('\n');
    // One write(2) with O_APPEND: concurrent callers' lines never mix.
    write_all(fd, line.c_str(), line.size());
    close(fd);
}

void
join_argv(Buf &out, int argc, char **argv) {
    for (int i = 0; i < argc; ++i) {
        if (i > 0) {
            out.add(' ');
        }
        out.add(argv[i]);
    }
}

static const char *
fd_kind(const char *target) {
    if (strncmp(target, "socket:[", 8) == 0) {
        return "socket";
    }
    if (strncmp(target, "pipe:[", 6) == 0) {
        return "pipe";
    }
    if (strncmp(target, "/dev/", 5) == 0) {
        return "chr";
    }
    if (target[0] == '/') {
        return "file";
    }
    return "other";
}

void
log_fds(const char *state, const char *tool) {
    Buf line;
    line.add(tool);
    int dfd = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        // The kernel lists a process's descriptors in ascending order.
        alignas(8) char ents[4096];
        for (;;) {
            ssize_t n = getdents64(dfd, ents, sizeof ents);
            if (n <= 0) {
                break;
            }
            for (ssize_t off = 0; off < n;) {
                const struct dirent64 *d = reinterpret_cast<const struct dirent64 *>(ents + off);
                off += d->d_reclen;
                const char *nm = d->d_name;
                if (nm[0] < '0' || nm[0] > '9') {
                    continue;
                }
                if (static_cast<int>(strtol(nm, nullptr, 10)) == dfd) {
                    continue;
                }
                char target[4096];
                ssize_t len = readlinkat(dfd, nm, target, sizeof target - 1);
                if (len < 0) {
                    continue; // closed meanwhile
                }
                target[len] = '\0';
                line.add(' ');
                line.add(nm);
                line.add(':');
                line.add(fd_kind(target));
            }
        }
        close(dfd);
    }
    log_line(state, "fds", line);
    log_signals(state, tool);
}

// Adds " NAME=" and the numbers of the signals for which test holds, or "-".
static void
add_signal_list(Buf &line, const char *name, bool (*test)(int)) {
    line.add(' ');
    line.add(name);
    line.add('=');
    bool any = false;
    for (int sig = 1; sig < 32; ++sig) {
        if (!test(sig)) {
            continue;
        }
        char num[8];
        snprintf(num, sizeof num, any ? ",%d" : "%d", sig);
        line.add(num);
        any = true;
    }
    if (!any) {
        line.add('-');
    }
}

static bool
signal_blocked(int sig) {
    sigset_t set;
    sigprocmask(SIG_BLOCK, nullptr, &set);
    return sigismember(&set, sig) == 1;
}

static bool
signal_ignored(int sig) {
    struct sigaction act;
    return sigaction(sig, nullptr, &act) == 0 && act.sa_handler == SIG_IGN;
}

void
log_signals(const char *state, const char *tool) {
    Buf line;
    line.add(tool);
    add_signal_list(line, "blocked", signal_blocked);
    add_signal_list(line, "ignored", signal_ignored);
    log_line(state, "signals", line);
}

static void
knob_path(Buf &path, const char *state, const char *base, const char *kind) {
    path.add(state);
    path.add("/knob/");
    path.add(base);
    path.add('.');
    path.add(kind);
}

bool
knob_exists(const char *state, const char *base, const char *kind) {
    Buf path;
    knob_path(path, state, base, kind);
    return access(path.c_str(), F_OK) == 0;
}

bool
knob_number(const char *tool, const char *state, const char *base, const char *kind, long lo,
            long hi, long *out) {
    Buf path;
    knob_path(path, state, base, kind);
    Buf text;
    if (read_file(path.c_str(), text) != 0) {
        return false;
    }
    const char *s = text.c_str();
    while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r') {
        ++s;
    }
    char *end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 10);
    bool ok = end != s && errno == 0 && v >= lo && v <= hi;
    if (ok) {
        for (const char *e = end; *e != '\0'; ++e) {
            if (*e != ' ' && *e != '\t' && *e != '\n' && *e != '\r') {
                ok = false;
                break;
            }
        }
    }
    if (!ok) {
        error(tool, "ignoring knob with bad content: ", path.c_str());
        return false;
    }
    *out = v;
    return true;
}

bool
knob_text(const char *state, const char *base, const char *kind, Buf &out) {
    Buf path;
    knob_path(path, state, base, kind);
    Buf text;
    if (read_file(path.c_str(), text) != 0) {
        return false;
    }
    size_t n = text.size();
    while (n > 0 && strchr(" \t\r\n", text.c_str()[n - 1]) != nullptr) {
        --n;
    }
    out.add(text.c_str(), n);
    return true;
}

void
apply_delay(const char *tool, const char *state, const char *base) {
    long ms = 0;
    if (!knob_number(tool, state, base, "delay", 0, 100000000L, &ms)) {
        return;
    }
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void
apply_signal(const char *tool, const char *state, const char *base, const char *kind) {
    long sig = 0;
    if (!knob_number(tool, state, base, kind, 1, SIGRTMAX, &sig)) {
        return;
    }
    int s = static_cast<int>(sig);
    // The caller may have left the signal ignored or blocked; the point is
    // to die by it the way a crashing tool would.
    signal(s, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, s);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(s);
    // Still here: the signal's default action is not to terminate (SIGCHLD,
    // a stop signal that was continued).  End the way a shell would
    // report it.
    _exit(128 + s);
}

static void
setting_path(Buf &path, const char *state, const char *name) {
    path.add(state);
    path.add("/sysctl/");
    path.add(name);
}

// The S-state each kern.power type maps to (sys/dev/acpica/acpi.c), under
// both namings; the others have none.
static const char *
sstate_of(const char *stype) {
    static const char *const map[][2] = {
        {"standby", "S1"},   {"s2mem", "S3"},        {"fw_suspend", "S3"},
        {"hibernate", "S4"}, {"fw_hibernate", "S4"}, {"poweroff", "S5"},
    };
    for (const auto &entry : map) {
        if (strcmp(entry[0], stype) == 0) {
            return entry[1];
        }
    }
    return "NONE";
}

int
setting_value(const char *state, const char *name, Buf &out) {
    Buf path;
    setting_path(path, state, name);
    int err = read_file(path.c_str(), out);
    if (err != ENOENT || strcmp(name, "hw.acpi.suspend_state") != 0) {
        return err;
    }
    Buf stype;
    path.clear();
    setting_path(path, state, "kern.power.suspend");
    err = read_file(path.c_str(), stype);
    if (err == 0) {
        out.add(sstate_of(stype.c_str()));
    }
    return err;
}

int
read_file(const char *path, Buf &out) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return errno;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        return EISDIR;
    }
    char chunk[4096];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            int e = errno;
            close(fd);
            return e;
        }
        if (n == 0) {
            break;
        }
        out.add(chunk, static_cast<size_t>(n));
    }
    close(fd);
    return 0;
}

int
copy_file(const char *path, int fd) {
    int in = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (in < 0) {
        return errno;
    }
    char chunk[4096];
    for (;;) {
        ssize_t n = read(in, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            int e = errno;
            close(in);
            return e;
        }
        if (n == 0) {
            break;
        }
        if (!write_all(fd, chunk, static_cast<size_t>(n))) {
            int e = errno;
            close(in);
            return e;
        }
    }
    close(in);
    return 0;
}

bool
print_raw_knob(const char *state, const char *base) {
    if (!knob_exists(state, base, "raw")) {
        return false;
    }
    Buf raw;
    raw.add(state);
    raw.add("/knob/");
    raw.add(base);
    raw.add(".raw");
    copy_file(raw.c_str(), 1);
    return true;
}

// Keeps a copy of the watched file as it is at this moment, so that a
// test can tell what the caller had written there (its standard error, say)
// by the time it ran the tool.
static void
copy_watched_file(const char *state, const char *tool) {
    Buf watched;
    if (!knob_text(state, tool, "watch", watched)) {
        return;
    }
    Buf copy;
    copy.add(state);
    copy.add("/log/");
    copy.add(tool);
    copy.add(".watch");
    int fd = open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        error(tool, "cannot write ", copy.c_str());
        return;
    }
    if (copy_file(watched.c_str(), fd) != 0) {
        error(tool, "cannot copy the watched file ", watched.c_str());
    }
    close(fd);
}

// Every suspend also goes to DIR/log/suspend with the lid's position at that
// moment, so that a check can tell whether the machine slept with its lid
// open, whichever tool did it.
static void
log_suspend(const char *state, int argc, char **argv) {
    Buf line;
    join_argv(line, argc, argv);
    line.add("\tdev.acpi_lid.0.state=");
    Buf path;
    path.add(state);
    path.add("/sysctl/dev.acpi_lid.0.state");
    // A missing setting is recorded as an empty value.
    read_file(path.c_str(), line);
    log_line(state, "suspend", line);
    // Beside it, when it ran on CLOCK_MONOTONIC, which every process of the
    // host shares, so that a check can time it against what it did itself.
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char stamp[48];
    snprintf(stamp, sizeof stamp, "%lld.%09ld", static_cast<long long>(now.tv_sec), now.tv_nsec);
    Buf when;
    when.add(stamp);
    log_line(state, "suspend.time", when);
}

int
suspend_tool_main(const char *tool, int argc, char **argv,
                  void (*annotate)(const char *state, Buf &call)) {
    const char *state = state_dir(tool);
    log_fds(state, tool);
    apply_delay(tool, state, tool);
    copy_watched_file(state, tool);
    Buf call;
    join_argv(call, argc, argv);
    if (annotate != nullptr) {
        annotate(state, call);
    }
    log_line(state, tool, call);
    log_suspend(state, argc, argv);
    apply_signal(tool, state, tool);
    long code = 0;
    if (knob_number(tool, state, tool, "exit", 0, 255, &code)) {
        return static_cast<int>(code);
    }
    return 0;
}
} // namespace sim
