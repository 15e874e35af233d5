// The benchmark's measuring side. It runs inside the service's own mount
// namespace (bench/run enters it), so the /sbin/sysctl it runs bare is the
// very file the service runs.
//
//   client wait SOCKET SECONDS
//       until a connection to SOCKET succeeds
//   client measure SOCKET SERVICE_PID VANTREL SIM_SYSCTL ROUNDS N THROUGHPUT
//       interleaved rounds of round trips and bare runs; prints key value
//       lines for bench/report.py
//   client requests SOCKET COUNT HOLD_CYCLES
//       COUNT requests, status and toggle by turns, then HOLD_CYCLES rounds
//       of every kind of hold request; every reply checked; prints how
//       many requests the hold rounds made
//   client compare SOCKET VANTRELCTL NC STATUS_FILE ROUNDS N
//       interleaved rounds of "vantrelctl status" and "nc -U SOCKET" with
//       STATUS_FILE as its input, both started directly; key value lines
//   client holders SOCKET COUNT
//       COUNT holds bound to their connections; prints "holding COUNT" once
//       the service lists them all, keeps them until its standard input
//       ends, then returns once the service lists none
//   client ratio SOCKET SERVICE_PID SIM_SYSCTL ROUNDS N PREFIX
//       interleaved rounds of status round trips and bare runs only
//   client idle SERVICE_PID SECONDS PREFIX
//       the service's context switches over SECONDS once it sleeps
//   client timed SOCKET SERVICE_PID HOLD_SECONDS SECONDS PREFIX
//       one "hold HOLD_SECONDSs", then as idle; the hold must have ended
//   client ask SOCKET REQUEST EXPECTED
//       one request whose reply must contain EXPECTED; prints the reply
//   client watchers SOCKET COUNT
//       COUNT watch connections; prints "watching COUNT" once each has its
//       first line, reads whatever comes until its standard input ends,
//       then closes them
//   client latency SOCKET DEVD_SOCKET COUNT EVENTS PREFIX
//       COUNT watch connections, then EVENTS lid events sent as devd
//       would, closed and opened by turns; the time from each send until
//       every watcher has its new line
//   client ctl-latency SOCKET DEVD_SOCKET COUNT EVENTS PREFIX VANTRELCTL
//       the same with COUNT "VANTRELCTL watch -j" processes as the
//       watchers: until each has written its new object to its pipe
//   client silent SOCKET COUNT
//       COUNT connections that send nothing; one the service closes when
//       its time for a line is up is opened again. Prints "silent COUNT"
//       once they are open and keeps them until its standard input ends
//   client late SOCKET STATE_DIR HOLD_SECONDS PREFIX
//       with the lid at a sleep type, one "hold HOLD_SECONDSs"; how long
//       after its time the lid reads that sleep type again, watched in the
//       simulated machine's own file so that no request wakes the service
//   client attack SOCKET UID GID
//       as the member UID (gid 65534, GID its one other group): 4 bound
//       holds, 2 watchers, one of which sends without pause, and 8 silent
//       connections; whatever the service closes (a silent one cut off,
//       the streaming watcher, a connection refused) is opened again every
//       50 ms. Prints "attacking" once all are open and goes on until its
//       standard input ends
//   client stream SOCKET UID GID SERVICE_PID SECONDS PREFIX
//       the service's own CPU time (user and system, not its children's)
//       over SECONDS while a holder of the member UID sends without pause;
//       the holder takes its hold again 100 ms after each time the service
//       ends it
//
// Kept lean on purpose (no iostreams, no heap on the measured paths): its
// own fork cost is part of every bare run it times.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

constexpr char sysctl_path[] = "/sbin/sysctl";
constexpr char lid_setting[] = "hw.acpi.lid_switch_state";
constexpr char s0ix_value[] = "suspend_to_idle";

const char *socket_path;
// Requests sent so far, for the heap figure's label.
int requests_made = 0;
const char *vantrel_path;
const char *ctl_path;
const char *nc_path;
int null_fd = -1;
int status_in_fd = -1; // "status\n", nc's standard input

[[noreturn]] void
die(const char *what, const char *detail = "") {
    std::fprintf(stderr, "bench client: %s%s%s\n", what, detail[0] ? ": " : "", detail);
    std::exit(2);
}

double
now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Reads until end of stream; returns the bytes held (at most cap - 1),
// zero-terminated.
std::size_t
read_all(int fd, char *buf, std::size_t cap) {
    std::size_t held = 0;
    for (;;) {
        ssize_t n = read(fd, buf + held, cap - 1 - held);
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        held += static_cast<std::size_t>(n);
        if (held == cap - 1)
            break;
    }
    buf[held] = '\0';
    return held;
}

// A connected socket, or -1 with errno set.
int
try_connect() {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1)
        die("socket", std::strerror(errno));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket_path, sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == -1) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

int
connect_service() {
    int fd = try_connect();
    if (fd == -1)
        die("connect", std::strerror(errno));
    return fd;
}

void
send_request(int fd, const char *request) {
    std::size_t length = std::strlen(request);
    if (write(fd, request, length) != static_cast<ssize_t>(length))
        die("write", std::strerror(errno));
}

// One request as a client makes it: connect, send the line, read the reply
// until the service closes, close.
void
round_trip(const char *request, char *reply, std::size_t cap) {
    int fd = connect_service();
    send_request(fd, request);
    requests_made++;
    read_all(fd, reply, cap);
    close(fd);
}

// The first reply of a bound hold: the service keeps the connection open,
// so the reply ends at its line feed, not at the end of the stream.
void
read_line(int fd, char *buf, std::size_t cap) {
    std::size_t held = 0;
    while (held < cap - 1 && (held == 0 || buf[held - 1] != '\n')) {
        ssize_t n = read(fd, buf + held, cap - 1 - held);
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        held += static_cast<std::size_t>(n);
    }
    buf[held] = '\0';
}

// fork, exec, wait; the child's standard output goes to a pipe that is
// read (as the service reads the tool), or to /dev/null (as the service's
// own output is during the benchmark). With in_fd, that is its standard
// input, read from the start.
int
run(const char *path, char *const argv[], char *out, std::size_t cap, int in_fd = -1) {
    int fds[2] = {-1, -1};
    if (out != nullptr && pipe(fds) == -1)
        die("pipe", std::strerror(errno));
    if (in_fd != -1 && lseek(in_fd, 0, SEEK_SET) == -1)
        die("lseek", std::strerror(errno));
    pid_t pid = fork();
    if (pid == -1)
        die("fork", std::strerror(errno));
    if (pid == 0) {
        int target = out != nullptr ? fds[1] : null_fd;
        if (out != nullptr)
            close(fds[0]);
        if (dup2(target, STDOUT_FILENO) == -1 || (in_fd != -1 && dup2(in_fd, STDIN_FILENO) == -1))
            _exit(127);
        closefrom(3);
        execv(path, argv);
        _exit(127);
    }
    if (out != nullptr) {
        close(fds[1]);
        read_all(fds[0], out, cap);
        close(fds[0]);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) == -1) {
        if (errno != EINTR)
            die("waitpid", std::strerror(errno));
    }
    return status;
}

// The lid setting as every measured operation must leave and report it.
char state[32] = "NONE";

void
expect_line(const char *got, const char *value, const char *what) {
    std::size_t n = std::strlen(value);
    if (std::strncmp(got, value, n) != 0 || got[n] != '\n' || got[n + 1] != '\0')
        die(what, got);
}

void
bare_read() {
    char dash_n[] = "-n", name[sizeof lid_setting], path[sizeof sysctl_path];
    std::memcpy(name, lid_setting, sizeof name);
    std::memcpy(path, sysctl_path, sizeof path);
    char *argv[] = {path, dash_n, name, nullptr};
    char out[256];
    if (run(sysctl_path, argv, out, sizeof out) != 0)
        die("bare sysctl read failed", out);
    expect_line(out, state, "unexpected bare sysctl output");
}

void
bare_write(const char *value) {
    char tool[] = "sysctl", pair[96];
    std::snprintf(pair, sizeof pair, "%s=%s", lid_setting, value);
    char *argv[] = {tool, pair, nullptr};
    if (run(sysctl_path, argv, nullptr, 0) != 0)
        die("bare sysctl write failed");
    std::snprintf(state, sizeof state, "%s", value);
}

// What "toggle" does, run bare: a read, a write of the other value and a
// read-back.
void
bare_toggle() {
    bare_read();
    bare_write(std::strcmp(state, "NONE") == 0 ? s0ix_value : "NONE");
    bare_read();
}

void
status_request() {
    char reply[512];
    round_trip("status\n", reply, sizeof reply);
    expect_line(reply, state, "unexpected status reply");
}

void
toggle_request() {
    char reply[512];
    round_trip("toggle\n", reply, sizeof reply);
    std::snprintf(state, sizeof state, "%s", std::strcmp(state, "NONE") == 0 ? s0ix_value : "NONE");
    expect_line(reply, state, "unexpected toggle reply");
}

constexpr int most_holds = 16;

// A hold bound to its connection, begun with no other hold or with the lid
// at NONE: either way the reply is NONE.
int
begin_bound_hold() {
    int fd = connect_service();
    send_request(fd, "hold\n");
    requests_made++;
    char reply[512];
    read_line(fd, reply, sizeof reply);
    std::snprintf(state, sizeof state, "NONE");
    expect_line(reply, state, "unexpected hold reply");
    return fd;
}

// A bound hold that release ended: the service has closed its connection.
void
expect_ended(int fd) {
    char byte;
    if (read(fd, &byte, 1) != 0)
        die("release left a bound hold's connection open");
    close(fd);
}

// request is "hold DURATION\n"; the same conditions as a bound hold.
void
timed_hold(const char *request) {
    char reply[512];
    round_trip(request, reply, sizeof reply);
    std::snprintf(state, sizeof state, "NONE");
    expect_line(reply, state, "unexpected timed hold reply");
}

// The caller sets state to what the lid reads once the holds ended.
void
release_request() {
    char reply[512];
    round_trip("release\n", reply, sizeof reply);
    expect_line(reply, state, "unexpected release reply");
}

// The service's list must hold count lines of root's holds, each with kind
// when it is given.
void
expect_holds(int count, const char *kind) {
    char reply[4096];
    round_trip("holds\n", reply, sizeof reply);
    if (count == 0) {
        expect_line(reply, "no holds", "unexpected holds reply");
        return;
    }
    int lines = 0;
    for (std::string_view rest = reply; !rest.empty(); lines++) {
        std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        if (end == std::string_view::npos || !line.starts_with("uid=0 pid=") ||
            (kind != nullptr && line.find(kind) == std::string_view::npos))
            die("unexpected holds reply", reply);
        rest.remove_prefix(end + 1);
    }
    if (lines != count)
        die("unexpected number of holds", reply);
}

// Until the service lists no holds, for at most seconds.
void
wait_no_holds(int seconds) {
    double deadline = now() + seconds;
    char reply[4096];
    for (;;) {
        round_trip("holds\n", reply, sizeof reply);
        if (std::strcmp(reply, "no holds\n") == 0)
            return;
        if (now() > deadline)
            die("the holds did not end", reply);
        usleep(20000);
    }
}

void
expect_reply_with(const char *request, const char *expected, char *reply, std::size_t cap) {
    round_trip(request, reply, cap);
    if (std::strstr(reply, expected) == nullptr)
        die("unexpected reply", reply);
}

// Every way a hold goes through the service, from the lid at NONE back to
// it: holders leaving and released, a timed hold, the list, a person's
// toggle during a hold, and the restore when the holds end.
void
hold_cycle() {
    int first = begin_bound_hold();
    int second = begin_bound_hold();
    timed_hold("hold 1m\n");
    expect_holds(3, nullptr);
    char reply[512];
    expect_reply_with("power\n", "devd=connected", reply, sizeof reply);
    close(second);
    expect_holds(2, nullptr);
    release_request();
    expect_ended(first);

    toggle_request();
    first = begin_bound_hold();
    // A person's choice during the hold; release leaves it.
    toggle_request();
    release_request();
    expect_ended(first);

    timed_hold("hold 90\n");
    std::snprintf(state, sizeof state, "%s", s0ix_value);
    release_request();
    toggle_request();
}

void
direct_status() {
    char status_word[] = "status", extra[] = "x";
    char *argv[] = {const_cast<char *>(vantrel_path), status_word, extra, nullptr};
    char out[256];
    if (run(vantrel_path, argv, out, sizeof out) != 0)
        die("vantrel status x failed", out);
    expect_line(out, state, "unexpected vantrel status x output");
}

// The client and nc as a keybinding or a status bar would start them.
void
ctl_status() {
    char status_word[] = "status";
    char *argv[] = {const_cast<char *>(ctl_path), status_word, nullptr};
    char out[256];
    if (run(ctl_path, argv, out, sizeof out, status_in_fd) != 0)
        die("vantrelctl status failed", out);
    expect_line(out, state, "unexpected vantrelctl status output");
}

void
nc_status() {
    char dash_u[] = "-U";
    char *argv[] = {const_cast<char *>(nc_path), dash_u, const_cast<char *>(socket_path), nullptr};
    char out[256];
    if (run(nc_path, argv, out, sizeof out, status_in_fd) != 0)
        die("nc -U failed", out);
    expect_line(out, state, "unexpected nc -U output");
}

// Microseconds per operation over n operations.
template <class F>
double
per_op_us(int n, F f) {
    double start = now();
    for (int i = 0; i < n; i++)
        f();
    return (now() - start) / n * 1e6;
}

double
median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// Per-round times of two operations measured side by side, and their ratio.
struct paired {
    std::vector<double> a_us, b_us, ratio;

    template <class A, class B> void round(int n, A a, B b) {
        double x = per_op_us(n, a);
        double y = per_op_us(n, b);
        a_us.push_back(x);
        b_us.push_back(y);
        ratio.push_back(x / y);
    }
};

void print_series(const char *key, const std::vector<double> &v);

void
print_paired(const paired &p, const char *a_key, const char *b_key, const char *ratio_key) {
    print_series(a_key, p.a_us);
    print_series(b_key, p.b_us);
    print_series(ratio_key, p.ratio);
}

void
print_series(const char *key, const std::vector<double> &v) {
    std::printf("%s_median %.4f\n%s_all", key, median(v), key);
    for (double x : v)
        std::printf(" %.4f", x);
    std::printf("\n");
}

void
print_prefixed(const char *prefix, const char *key, const std::vector<double> &v) {
    char name[96];
    std::snprintf(name, sizeof name, "%s_%s", prefix, key);
    print_series(name, v);
}

struct switches {
    long voluntary = -1;
    long nonvoluntary = -1;
};

switches
read_switches(const char *pid) {
    char path[64], line[256];
    std::snprintf(path, sizeof path, "/proc/%s/status", pid);
    FILE *f = std::fopen(path, "re");
    if (f == nullptr)
        die(path, std::strerror(errno));
    switches s;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        std::sscanf(line, "voluntary_ctxt_switches: %ld", &s.voluntary);
        std::sscanf(line, "nonvoluntary_ctxt_switches: %ld", &s.nonvoluntary);
    }
    std::fclose(f);
    if (s.voluntary < 0 || s.nonvoluntary < 0)
        die("no context switch counts in", path);
    return s;
}

// A window starts once the service waits, so that the end of the request
// that set it up is not counted.
void
wait_asleep(const char *pid) {
    char path[64], text[512];
    std::snprintf(path, sizeof path, "/proc/%s/stat", pid);
    for (int tries = 0; tries < 1000; tries++) {
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd == -1)
            die(path, std::strerror(errno));
        read_all(fd, text, sizeof text);
        close(fd);
        const char *after_name = std::strrchr(text, ')');
        if (after_name != nullptr && after_name[1] == ' ' && after_name[2] == 'S')
            return;
        usleep(1000);
    }
    die("the service does not come to rest", pid);
}

// The service's context switches over seconds, as PREFIX_* lines.
void
measure_window(const char *pid, int seconds, const char *prefix) {
    wait_asleep(pid);
    switches before = read_switches(pid);
    timespec end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += seconds;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR) {
    }
    switches after = read_switches(pid);
    long voluntary = after.voluntary - before.voluntary;
    long nonvoluntary = after.nonvoluntary - before.nonvoluntary;
    std::printf("%s_seconds %d\n%s_voluntary %ld\n%s_nonvoluntary %ld\n%s_switches %ld\n", prefix,
                seconds, prefix, voluntary, prefix, nonvoluntary, prefix, voluntary + nonvoluntary);
}

bool
same_file_content(const char *a, const char *b) {
    int fa = open(a, O_RDONLY | O_CLOEXEC), fb = open(b, O_RDONLY | O_CLOEXEC);
    bool same = fa != -1 && fb != -1;
    char x[4096], y[4096];
    while (same) {
        ssize_t na = read(fa, x, sizeof x), nb = read(fb, y, sizeof y);
        same = na == nb && na >= 0 && std::memcmp(x, y, static_cast<std::size_t>(na)) == 0;
        if (na <= 0)
            break;
    }
    if (fa != -1)
        close(fa);
    if (fb != -1)
        close(fb);
    return same;
}

// The bare runs only mean something against the tool the service runs:
// same mount namespace, and /sbin/sysctl there is the compiled stand-in.
void
check_machine(const char *service_pid, const char *sim_sysctl) {
    char theirs[128], ours[128], link[64];
    std::snprintf(link, sizeof link, "/proc/%s/ns/mnt", service_pid);
    ssize_t a = readlink(link, theirs, sizeof theirs - 1);
    ssize_t b = readlink("/proc/self/ns/mnt", ours, sizeof ours - 1);
    if (a <= 0 || b <= 0 || a != b || std::memcmp(theirs, ours, static_cast<std::size_t>(a)) != 0)
        die("not in the service's mount namespace");
    if (!same_file_content(sysctl_path, sim_sysctl))
        die("/sbin/sysctl here is not the simulated machine's stand-in", sim_sysctl);
}

int
positive(const char *text) {
    char *end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v <= 0 || v > 1000000)
        die("not a positive count", text);
    return static_cast<int>(v);
}

int
cmd_wait(int argc, char **argv) {
    if (argc != 4)
        die("usage: client wait SOCKET SECONDS");
    socket_path = argv[2];
    double deadline = now() + positive(argv[3]);
    while (now() < deadline) {
        int fd = try_connect();
        // A blank connection is closed by the service without a reply.
        if (fd != -1) {
            close(fd);
            return 0;
        }
        usleep(20000);
    }
    die("the service did not come up", socket_path);
}

int
cmd_measure(int argc, char **argv) {
    if (argc != 9)
        die("usage: client measure SOCKET SERVICE_PID VANTREL SIM_SYSCTL ROUNDS N THROUGHPUT");
    socket_path = argv[2];
    vantrel_path = argv[4];
    check_machine(argv[3], argv[5]);
    int rounds = positive(argv[6]);
    // Even, so that every block of toggles ends where it started.
    int n = (positive(argv[7]) + 1) / 2 * 2;
    int throughput = positive(argv[8]);
    if (rounds < 5)
        die("at least 5 rounds are needed for a median");

    // Warm up caches and the page cache for every binary involved.
    for (int i = 0; i < 4; i++) {
        status_request();
        bare_read();
        toggle_request();
        bare_toggle();
        direct_status();
    }

    paired status, toggle, direct;
    for (int r = 0; r < rounds; r++) {
        status.round(n, status_request, bare_read);
        toggle.round(n, toggle_request, bare_toggle);
        direct.round(n, direct_status, bare_read);
    }
    double start = now();
    for (int i = 0; i < throughput; i++)
        status_request();
    double elapsed = now() - start;

    std::printf("rounds %d\nper_round %d\n", rounds, n);
    print_paired(status, "status_us", "bare_us", "status_ratio");
    print_paired(toggle, "toggle_us", "triple_us", "toggle_ratio");
    print_paired(direct, "direct_us", "direct_bare_us", "direct_ratio");
    std::printf("throughput_requests %d\nthroughput_seconds %.6f\nthroughput_rps %.1f\n",
                throughput, elapsed, throughput / elapsed);
    return 0;
}

int
cmd_requests(int argc, char **argv) {
    if (argc != 5)
        die("usage: client requests SOCKET COUNT HOLD_CYCLES");
    socket_path = argv[2];
    int count = positive(argv[3]);
    int cycles = positive(argv[4]);
    for (int i = 0; i < count; i++) {
        if (i % 2 == 0)
            status_request();
        else
            toggle_request();
    }
    // Leave the lid setting as it was found.
    if (std::strcmp(state, "NONE") != 0)
        toggle_request();
    int before = requests_made;
    for (int i = 0; i < cycles; i++)
        hold_cycle();
    // One timed hold that ends by itself.
    timed_hold("hold 1s\n");
    expect_holds(1, "left=");
    wait_no_holds(5);
    std::printf("heap_hold_requests %d\n", requests_made - before);
    return 0;
}

int
cmd_holders(int argc, char **argv) {
    if (argc != 4)
        die("usage: client holders SOCKET COUNT");
    socket_path = argv[2];
    int count = positive(argv[3]);
    if (count > most_holds)
        die("more holds than the service takes", argv[3]);
    int fds[most_holds];
    for (int i = 0; i < count; i++)
        fds[i] = begin_bound_hold();
    expect_holds(count, "until=disconnect");
    std::printf("holding %d\n", count);
    std::fflush(stdout);
    char discard[64];
    for (;;) {
        ssize_t n = read(STDIN_FILENO, discard, sizeof discard);
        if (n == 0 || (n == -1 && errno != EINTR))
            break;
    }
    for (int i = 0; i < count; i++)
        close(fds[i]);
    wait_no_holds(5);
    return 0;
}

int
cmd_ratio(int argc, char **argv) {
    if (argc != 8)
        die("usage: client ratio SOCKET SERVICE_PID SIM_SYSCTL ROUNDS N PREFIX");
    socket_path = argv[2];
    check_machine(argv[3], argv[4]);
    int rounds = positive(argv[5]);
    int n = positive(argv[6]);
    const char *prefix = argv[7];
    if (rounds < 5)
        die("at least 5 rounds are needed for a median");
    for (int i = 0; i < 4; i++) {
        status_request();
        bare_read();
    }
    paired status;
    for (int r = 0; r < rounds; r++)
        status.round(n, status_request, bare_read);
    print_prefixed(prefix, "status_us", status.a_us);
    print_prefixed(prefix, "bare_us", status.b_us);
    print_prefixed(prefix, "ratio", status.ratio);
    return 0;
}

int
cmd_idle(int argc, char **argv) {
    if (argc != 5)
        die("usage: client idle SERVICE_PID SECONDS PREFIX");
    measure_window(argv[2], positive(argv[3]), argv[4]);
    return 0;
}

// The window must cover the hold's end, which is the wake-up it is about.
int
cmd_timed(int argc, char **argv) {
    if (argc != 7)
        die("usage: client timed SOCKET SERVICE_PID HOLD_SECONDS SECONDS PREFIX");
    socket_path = argv[2];
    int hold_seconds = positive(argv[4]);
    int seconds = positive(argv[5]);
    if (seconds <= hold_seconds)
        die("the window must outlast the hold", argv[5]);
    char request[32];
    std::snprintf(request, sizeof request, "hold %ds\n", hold_seconds);
    timed_hold(request);
    expect_holds(1, "left=");
    measure_window(argv[3], seconds, argv[6]);
    expect_holds(0, nullptr);
    std::printf("%s_hold_seconds %d\n", argv[6], hold_seconds);
    return 0;
}

int
cmd_ask(int argc, char **argv) {
    if (argc != 5)
        die("usage: client ask SOCKET REQUEST EXPECTED");
    socket_path = argv[2];
    char request[256], reply[4096];
    std::snprintf(request, sizeof request, "%s\n", argv[3]);
    expect_reply_with(request, argv[4], reply, sizeof reply);
    std::fputs(reply, stdout);
    return 0;
}

int
cmd_silent(int argc, char **argv) {
    if (argc != 4)
        die("usage: client silent SOCKET COUNT");
    socket_path = argv[2];
    int count = positive(argv[3]);
    std::vector<pollfd> fds(static_cast<std::size_t>(count) + 1);
    for (int i = 0; i < count; i++)
        fds[static_cast<std::size_t>(i)] = {connect_service(), POLLIN, 0};
    pollfd &input = fds.back();
    input = {STDIN_FILENO, POLLIN, 0};
    std::printf("silent %d\n", count);
    std::fflush(stdout);
    char scratch[256];
    for (;;) {
        if (poll(fds.data(), fds.size(), -1) == -1) {
            if (errno == EINTR)
                continue;
            die("poll", std::strerror(errno));
        }
        if (input.revents != 0 && read(STDIN_FILENO, scratch, sizeof scratch) <= 0)
            break;
        for (int i = 0; i < count; i++) {
            pollfd &p = fds[static_cast<std::size_t>(i)];
            if (p.revents == 0)
                continue;
            // A blank request gets no reply: only the end may come.
            if (read(p.fd, scratch, sizeof scratch) > 0)
                die("a silent connection got a reply");
            close(p.fd);
            p.fd = connect_service();
        }
    }
    for (int i = 0; i < count; i++)
        close(fds[static_cast<std::size_t>(i)].fd);
    return 0;
}

// What the simulated machine holds for the lid setting, read from its file
// (written whole by rename, so never half).
void
read_lid_file(const char *path, char *value, std::size_t cap) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        die(path, std::strerror(errno));
    read_all(fd, value, cap);
    close(fd);
}

int
cmd_late(int argc, char **argv) {
    if (argc != 6)
        die("usage: client late SOCKET STATE_DIR HOLD_SECONDS PREFIX");
    socket_path = argv[2];
    char path[512];
    std::snprintf(path, sizeof path, "%s/sysctl/%s", argv[3], lid_setting);
    int hold_seconds = positive(argv[4]);
    toggle_request();
    char request[32], value[64];
    std::snprintf(request, sizeof request, "hold %ds\n", hold_seconds);
    timed_hold(request);
    // The hold's time starts just before its reply is sent.
    double began = now();
    double deadline = began + hold_seconds + 5;
    for (;;) {
        read_lid_file(path, value, sizeof value);
        if (std::strcmp(value, s0ix_value) == 0)
            break;
        if (now() > deadline)
            die("the hold did not end", value);
        usleep(200);
    }
    double late_ms = (now() - began - hold_seconds) * 1e3;
    std::snprintf(state, sizeof state, "%s", s0ix_value);
    toggle_request();
    std::printf("%s_late_ms %.1f\n%s_late_hold_seconds %d\n", argv[5], late_ms, argv[5],
                hold_seconds);
    return 0;
}

int
cmd_compare(int argc, char **argv) {
    if (argc != 8)
        die("usage: client compare SOCKET VANTRELCTL NC STATUS_FILE ROUNDS N");
    socket_path = argv[2];
    ctl_path = argv[3];
    nc_path = argv[4];
    status_in_fd = open(argv[5], O_RDONLY | O_CLOEXEC);
    if (status_in_fd == -1)
        die(argv[5], std::strerror(errno));
    setenv("vantrel_socket", socket_path, 1);
    int rounds = positive(argv[6]);
    int n = positive(argv[7]);
    for (int i = 0; i < 4; i++) {
        ctl_status();
        nc_status();
    }
    // One of each by turns, so that a burst of other work on the machine
    // falls on both alike.
    std::vector<double> ctl_us, nc_us, ratio;
    for (int r = 0; r < rounds; r++) {
        double ctl = 0, nc = 0;
        for (int i = 0; i < n; i++) {
            ctl += per_op_us(1, ctl_status);
            nc += per_op_us(1, nc_status);
        }
        ctl_us.push_back(ctl / n);
        nc_us.push_back(nc / n);
        ratio.push_back(ctl / nc);
    }
    print_series("ctl_us", ctl_us);
    print_series("nc_us", nc_us);
    print_series("ctl_ratio", ratio);
    return 0;
}

constexpr int most_watchers = 8;

// A watch connection whose first line, the state line, has come.
int
begin_watch() {
    int fd = connect_service();
    send_request(fd, "watch\n");
    char line[512];
    read_line(fd, line, sizeof line);
    if (std::strncmp(line, "action=", 7) != 0)
        die("unexpected watch reply", line);
    return fd;
}

int
watcher_count(const char *text) {
    int count = positive(text);
    if (count > most_watchers)
        die("more watchers than the service takes", text);
    return count;
}

// Reads what is there; a watch the service ended fails the benchmark.
void
drain_watch(int fd, char *buf, std::size_t cap) {
    ssize_t n = read(fd, buf, cap - 1);
    if (n == 0 || (n == -1 && errno != EINTR))
        die("the service ended a watch");
    buf[n > 0 ? n : 0] = '\0';
}

int
cmd_watchers(int argc, char **argv) {
    if (argc != 4)
        die("usage: client watchers SOCKET COUNT");
    socket_path = argv[2];
    int count = watcher_count(argv[3]);
    pollfd p[most_watchers + 1];
    p[0] = {STDIN_FILENO, POLLIN, 0};
    for (int i = 1; i <= count; i++)
        p[i] = {begin_watch(), POLLIN, 0};
    std::printf("watching %d\n", count);
    std::fflush(stdout);
    char buf[4096];
    for (;;) {
        if (poll(p, static_cast<nfds_t>(count + 1), -1) == -1 && errno != EINTR)
            die("poll", std::strerror(errno));
        if (p[0].revents != 0 && read(STDIN_FILENO, buf, sizeof buf) <= 0)
            break;
        for (int i = 1; i <= count; i++) {
            if (p[i].revents != 0)
                drain_watch(p[i].fd, buf, sizeof buf);
        }
    }
    for (int i = 1; i <= count; i++)
        close(p[i].fd);
    return 0;
}

// Until every watcher has read a line holding want; at most 5 s.
void
await_lines(const int *fds, int count, const char *want) {
    pollfd p[most_watchers];
    int waiting = count;
    for (int i = 0; i < count; i++)
        p[i] = {fds[i], POLLIN, 0};
    char buf[4096];
    while (waiting > 0) {
        int ready = poll(p, static_cast<nfds_t>(count), 5000);
        if (ready == 0)
            die("a watcher did not hear of the event", want);
        for (int i = 0; i < count; i++) {
            if (p[i].revents == 0)
                continue;
            drain_watch(p[i].fd, buf, sizeof buf);
            if (std::strstr(buf, want) != nullptr) {
                p[i].fd = -1; // poll passes over it from now on
                waiting--;
            }
        }
    }
}

// The devd stand-in answers each sender with a packet that begins with a
// zero byte once it has relayed the message.
void
await_relayed(int devd) {
    char packet[256];
    for (;;) {
        ssize_t n = recv(devd, packet, sizeof packet, 0);
        if (n <= 0)
            die("the devd stand-in did not answer");
        if (packet[0] == '\0')
            return;
    }
}

int
connect_devd(const char *path) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
    if (fd == -1 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == -1)
        die(path, std::strerror(errno));
    return fd;
}

// A "ctl watch -j" process writing to a pipe, once its first object has
// come; returns the pipe's reading end.
int
begin_ctl_watch(const char *ctl, pid_t *pid) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) == -1)
        die("pipe", std::strerror(errno));
    *pid = fork();
    if (*pid == 0) {
        dup2(p[1], STDOUT_FILENO);
        setenv("vantrel_socket", socket_path, 1);
        execl(ctl, ctl, "watch", "-j", static_cast<char *>(nullptr));
        _exit(127);
    }
    if (*pid == -1)
        die("fork", std::strerror(errno));
    close(p[1]);
    char line[1024];
    read_line(p[0], line, sizeof line);
    if (std::strncmp(line, "{\"action\":", 10) != 0)
        die("unexpected watch -j output", line);
    return p[0];
}

// With ctl, the watchers are vantrelctl processes printing JSON.
int
cmd_latency(int argc, char **argv) {
    const char *ctl = argc == 8 && std::strcmp(argv[1], "ctl-latency") == 0 ? argv[7] : nullptr;
    if (argc != (ctl != nullptr ? 8 : 7))
        die("usage: client latency|ctl-latency SOCKET DEVD_SOCKET COUNT EVENTS PREFIX "
            "[VANTRELCTL]");
    socket_path = argv[2];
    int count = watcher_count(argv[4]);
    int events = positive(argv[5]);
    int fds[most_watchers];
    pid_t pids[most_watchers] = {};
    for (int i = 0; i < count; i++)
        fds[i] = ctl != nullptr ? begin_ctl_watch(ctl, &pids[i]) : begin_watch();
    int devd = connect_devd(argv[3]);
    static const char *const messages[] = {
        "!system=ACPI subsystem=Lid type=\\_SB_.LID0 notify=0x00",
        "!system=ACPI subsystem=Lid type=\\_SB_.LID0 notify=0x01"};
    static const char *const lines[] = {"lid=closed", "lid=open"};
    static const char *const objects[] = {"\"lid\":\"closed\"", "\"lid\":\"open\""};
    const char *const *wanted = ctl != nullptr ? objects : lines;
    std::vector<double> ms;
    for (int e = 0; e < events; e++) {
        const char *message = messages[e % 2];
        double start = now();
        if (send(devd, message, std::strlen(message), MSG_NOSIGNAL) == -1)
            die("send to devd", std::strerror(errno));
        await_lines(fds, count, wanted[e % 2]);
        ms.push_back((now() - start) * 1e3);
        await_relayed(devd);
    }
    print_prefixed(argv[6], "ms", ms);
    std::printf("%s_watchers %d\n%s_events %d\n", argv[6], count, argv[6], events);
    for (int i = 0; i < count; i++) {
        if (pids[i] > 0) {
            kill(pids[i], SIGTERM);
            waitpid(pids[i], nullptr, 0);
        }
    }
    return 0;
}

// The member's ids, for good: the service takes them at each connect.
void
become_member(const char *uid_text, const char *gid_text) {
    gid_t group = static_cast<gid_t>(positive(gid_text));
    if (setgroups(1, &group) != 0 || setgid(65534) != 0 ||
        setuid(static_cast<uid_t>(positive(uid_text))) != 0)
        die("cannot become the member", std::strerror(errno));
}

// A connection whose request went out and whose first line came, or -1
// when the service refused it or closed it first (MSG_NOSIGNAL: a refused
// connection may be closed before the request goes out).
int
try_request(const char *request, char *line, std::size_t cap) {
    int fd = try_connect();
    if (fd == -1)
        return -1;
    auto length = static_cast<ssize_t>(std::strlen(request));
    line[0] = '\0';
    if (send(fd, request, static_cast<std::size_t>(length), MSG_NOSIGNAL) == length)
        read_line(fd, line, cap);
    if (line[0] == '\0' || std::strncmp(line, "error", 5) == 0) {
        close(fd);
        return -1;
    }
    return fd;
}

constexpr int attack_holds = 4, attack_watchers = 2, attack_silent = 8;
constexpr int attack_kept = attack_holds + attack_watchers + attack_silent;

enum class kind { hold, watch, silent };

// Opens the connection of that kind at p, or leaves p.fd at -1.
void
open_kind(pollfd &p, kind k) {
    char line[512];
    if (k == kind::silent)
        p.fd = try_connect();
    else
        p.fd = try_request(k == kind::hold ? "hold\n" : "watch\n", line, sizeof line);
    if (p.fd != -1)
        (void)fcntl(p.fd, F_SETFL, O_NONBLOCK);
}

kind
kind_at(int i) {
    return i < attack_holds ? kind::hold
                            : (i < attack_holds + attack_watchers ? kind::watch : kind::silent);
}

int
cmd_attack(int argc, char **argv) {
    if (argc != 5)
        die("usage: client attack SOCKET UID GID");
    socket_path = argv[2];
    become_member(argv[3], argv[4]);
    // The first watcher streams; index 0 of p is standard input.
    const int streamer = 1 + attack_holds;
    pollfd p[attack_kept + 1];
    p[0] = {STDIN_FILENO, POLLIN, 0};
    for (int i = 1; i <= attack_kept; i++) {
        p[i] = {-1, POLLIN, 0};
        open_kind(p[i], kind_at(i - 1));
        if (p[i].fd == -1)
            die("the service refused the attack's first connections");
    }
    std::printf("attacking\n");
    std::fflush(stdout);
    char junk[4096];
    std::memset(junk, 'x', sizeof junk);
    for (;;) {
        p[streamer].events = POLLIN | POLLOUT;
        if (poll(p, attack_kept + 1, 50) == -1 && errno != EINTR)
            die("poll", std::strerror(errno));
        if (p[0].revents != 0 && read(STDIN_FILENO, junk, sizeof junk) <= 0)
            break;
        for (int i = 1; i <= attack_kept; i++) {
            bool gone = p[i].fd == -1;
            if (!gone && (p[i].revents & POLLOUT) != 0)
                gone = send(p[i].fd, junk, sizeof junk, MSG_NOSIGNAL | MSG_DONTWAIT) == -1 &&
                       errno != EAGAIN;
            if (!gone && (p[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                ssize_t n = read(p[i].fd, junk, sizeof junk);
                gone = n == 0 || (n == -1 && errno != EAGAIN);
            }
            if (gone && p[i].fd != -1)
                close(p[i].fd);
            if (gone)
                open_kind(p[i], kind_at(i - 1));
        }
    }
    return 0;
}

long
cpu_ticks(const char *pid) {
    char path[64], text[1024];
    std::snprintf(path, sizeof path, "/proc/%s/stat", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        die(path, std::strerror(errno));
    read_all(fd, text, sizeof text);
    close(fd);
    // utime and stime are the 14th and 15th fields; the name may hold blanks.
    const char *rest = std::strrchr(text, ')');
    long utime = 0, stime = 0;
    if (rest == nullptr ||
        std::sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime,
                    &stime) != 2)
        die("no CPU times in", path);
    return utime + stime;
}

// A holder that streams until the service ends its hold, and holds again.
[[noreturn]] void
stream_forever() {
    char line[512], junk[4096];
    std::memset(junk, 'x', sizeof junk);
    timespec pause = {0, 100000000};
    for (;;) {
        int fd = try_request("hold\n", line, sizeof line);
        while (fd != -1 && send(fd, junk, sizeof junk, MSG_NOSIGNAL) > 0) {
        }
        if (fd != -1)
            close(fd);
        nanosleep(&pause, nullptr);
    }
}

int
cmd_stream(int argc, char **argv) {
    if (argc != 8)
        die("usage: client stream SOCKET UID GID SERVICE_PID SECONDS PREFIX");
    socket_path = argv[2];
    int seconds = positive(argv[6]);
    pid_t holder = fork();
    if (holder == -1)
        die("fork", std::strerror(errno));
    if (holder == 0) {
        become_member(argv[3], argv[4]);
        stream_forever();
    }
    long before = cpu_ticks(argv[5]);
    double start = now();
    sleep(static_cast<unsigned>(seconds));
    long after = cpu_ticks(argv[5]);
    double elapsed = now() - start;
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    double percent = static_cast<double>(after - before) /
                     static_cast<double>(sysconf(_SC_CLK_TCK)) / elapsed * 100;
    std::printf("%s_seconds %d\n%s_cpu_percent %.2f\n", argv[7], seconds, argv[7], percent);
    return 0;
}

} // namespace

int
main(int argc, char **argv) {
    null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd == -1)
        die("/dev/null", std::strerror(errno));
    std::string_view mode = argc > 1 ? argv[1] : "";
    if (mode == "wait")
        return cmd_wait(argc, argv);
    if (mode == "measure")
        return cmd_measure(argc, argv);
    if (mode == "requests")
        return cmd_requests(argc, argv);
    if (mode == "compare")
        return cmd_compare(argc, argv);
    if (mode == "holders")
        return cmd_holders(argc, argv);
    if (mode == "ratio")
        return cmd_ratio(argc, argv);
    if (mode == "idle")
        return cmd_idle(argc, argv);
    if (mode == "timed")
        return cmd_timed(argc, argv);
    if (mode == "ask")
        return cmd_ask(argc, argv);
    if (mode == "watchers")
        return cmd_watchers(argc, argv);
    if (mode == "latency" || mode == "ctl-latency")
        return cmd_latency(argc, argv);
    if (mode == "silent")
        return cmd_silent(argc, argv);
    if (mode == "late")
        return cmd_late(argc, argv);
    if (mode == "attack")
        return cmd_attack(argc, argv);
    if (mode == "stream")
        return cmd_stream(argc, argv);
    die("usage: client wait|measure|requests|compare|holders|ratio|idle|timed|ask|watchers|"
        "latency|ctl-latency|silent|late|attack|stream ...");
}
