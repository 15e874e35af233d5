// The benchmark's measuring side. It runs inside the service's own mount
// namespace (bench/run enters it), so the /sbin/sysctl it runs bare is the
// very file the service runs.
//
//   client wait SOCKET SECONDS
//       until a connection to SOCKET succeeds
//   client measure SOCKET SERVICE_PID VANTREL SIM_SYSCTL ROUNDS N THROUGHPUT
//       interleaved rounds of round trips and bare runs; prints key value
//       lines for bench/report.py
//   client requests SOCKET COUNT
//       COUNT requests, status and toggle by turns, every reply checked
//   client compare SOCKET VANTRELCTL NC STATUS_FILE ROUNDS N
//       interleaved rounds of "vantrelctl status" and "nc -U SOCKET" with
//       STATUS_FILE as its input, both started directly; key value lines
//
// Kept lean on purpose (no iostreams, no heap on the measured paths): its
// own fork cost is part of every bare run it times.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

constexpr char sysctl_path[] = "/sbin/sysctl";
constexpr char lid_setting[] = "hw.acpi.lid_switch_state";
constexpr char s0ix_value[] = "suspend_to_idle";

const char *socket_path;
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

// One request as a client makes it: connect, send the line, read the reply
// until the service closes, close.
void
round_trip(const char *request, char *reply, std::size_t cap) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1)
        die("socket", std::strerror(errno));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket_path, sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == -1)
        die("connect", std::strerror(errno));
    std::size_t length = std::strlen(request);
    if (write(fd, request, length) != static_cast<ssize_t>(length))
        die("write", std::strerror(errno));
    read_all(fd, reply, cap);
    close(fd);
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

void
print_series(const char *key, const std::vector<double> &v) {
    std::printf("%s_median %.4f\n%s_all", key, median(v), key);
    for (double x : v)
        std::printf(" %.4f", x);
    std::printf("\n");
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
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, socket_path, sizeof addr.sun_path - 1);
        bool up = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
        // A blank connection is closed by the service without a reply.
        close(fd);
        if (up)
            return 0;
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

    std::vector<double> status_us, bare_us, status_ratio, toggle_us, triple_us, toggle_ratio,
        direct_us, direct_bare_us, direct_ratio;
    for (int r = 0; r < rounds; r++) {
        double s = per_op_us(n, status_request);
        double b = per_op_us(n, bare_read);
        double t = per_op_us(n, toggle_request);
        double b3 = per_op_us(n, bare_toggle);
        double d = per_op_us(n, direct_status);
        double db = per_op_us(n, bare_read);
        status_us.push_back(s);
        bare_us.push_back(b);
        status_ratio.push_back(s / b);
        toggle_us.push_back(t);
        triple_us.push_back(b3);
        toggle_ratio.push_back(t / b3);
        direct_us.push_back(d);
        direct_bare_us.push_back(db);
        direct_ratio.push_back(d / db);
    }
    double start = now();
    for (int i = 0; i < throughput; i++)
        status_request();
    double elapsed = now() - start;

    std::printf("rounds %d\nper_round %d\n", rounds, n);
    print_series("status_us", status_us);
    print_series("bare_us", bare_us);
    print_series("status_ratio", status_ratio);
    print_series("toggle_us", toggle_us);
    print_series("triple_us", triple_us);
    print_series("toggle_ratio", toggle_ratio);
    print_series("direct_us", direct_us);
    print_series("direct_bare_us", direct_bare_us);
    print_series("direct_ratio", direct_ratio);
    std::printf("throughput_requests %d\nthroughput_seconds %.6f\nthroughput_rps %.1f\n",
                throughput, elapsed, throughput / elapsed);
    return 0;
}

int
cmd_requests(int argc, char **argv) {
    if (argc != 4)
        die("usage: client requests SOCKET COUNT");
    socket_path = argv[2];
    int count = positive(argv[3]);
    for (int i = 0; i < count; i++) {
        if (i % 2 == 0)
            status_request();
        else
            toggle_request();
    }
    // Leave the lid setting as it was found.
    if (std::strcmp(state, "NONE") != 0)
        toggle_request();
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
    die("usage: client wait|measure|requests|compare ...");
}
