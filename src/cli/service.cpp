#include "cli/service.hpp"

#include "lid/lid.hpp"
#include "runner/location.hpp"
#include "runner/retry.hpp"
#include "runner/socket_file.hpp"
#include "runner/sysctl.hpp"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <unistd.h>

static bool is_white(char c);
static void print_running_by_socket();
static void print_running_by_lock();

// Enough for any white space a launcher puts before the number, and for the
// number itself; a longer file is judged by what this holds.
static constexpr std::size_t pid_text_capacity = 128;
// Values below this are never signalled: 0 and -1 would reach a whole
// process group or every process, and 1 is init. F_GETLK gives them for a
// holder it cannot name, as from another pid namespace or a jail.
static constexpr int lowest_service_pid = 2;

static bool
is_white(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int
parse_pid(const char *text, std::size_t length) {
    const char *p = text;
    const char *end = text + length;
    while (p < end && is_white(*p))
        p++;
    // from_chars takes a minus sign but not a plus sign, which a decimal
    // integer may carry as well.
    if (p < end && *p == '+' && p + 1 < end && *(p + 1) != '-')
        p++;
    int value = -1;
    auto [next, ec] = std::from_chars(p, end, value);
    if (ec != std::errc{} || next == p)
        return -1;
    return value;
}

int
read_pid_file(bool *opened) {
    int fd = open(pid_file_path, O_RDONLY | O_CLOEXEC);
    *opened = fd != -1;
    if (fd == -1)
        return -1;
    char text[pid_text_capacity];
    std::size_t held = 0;
    while (held < sizeof text) {
        ssize_t n = retry_interrupted([&] { return read(fd, text + held, sizeof text - held); });
        if (n <= 0)
            break;
        held += static_cast<std::size_t>(n);
    }
    close(fd);
    return parse_pid(text, held);
}

// Anyone but root can open neither the lock file nor the pid file that
// daemon(8) writes, so the socket alone tells: a connection taken means a
// service answers there, a refused one or none means it does not.
static void
print_running_by_socket() {
    sockaddr_un addr;
    socklen_t length = make_socket_address(socket_path, addr);
    int error = length == 0 ? ENAMETOOLONG : try_connect(addr, length);
    if (error == 0 || error == EAGAIN || error == EINPROGRESS)
        std::printf("vantrel is running.\n");
    else if (error == ECONNREFUSED || error == ENOENT || error == ENOTSOCK)
        std::printf("vantrel is not running.\n");
    else
        warnx("cannot tell whether the service runs: %s", std::strerror(error));
}

// The lock, not the pid file, tells whether a service runs: a pid file
// outlives its service, and its number may by then be another process's.
static void
print_running_by_lock() {
    pid_t pid = 0;
    if (!find_service_lock(lock_file_path, &pid))
        std::printf("vantrel is not running.\n");
    else if (pid < lowest_service_pid)
        std::printf("vantrel is running.\n");
    else
        std::printf("vantrel is running as pid %d.\n", static_cast<int>(pid));
}

void
service_status() {
    if (geteuid() == 0)
        print_running_by_lock();
    else
        print_running_by_socket();
    char value[setting_capacity];
    if (sysctl_read(lid_setting, value, sizeof value) == 0)
        std::printf("%s=%s\n", lid_setting, value);
    std::exit(0);
}

// The service is root's, so any process another user could signal is no
// longer the service; nor may they remove anything from /var/run.
void
service_stop() {
    if (geteuid() != 0) {
        warnx("only root can stop the service");
        std::exit(0);
    }
    pid_t pid = 0;
    if (find_service_lock(lock_file_path, &pid)) {
        if (pid < lowest_service_pid)
            warnx("cannot tell the service's pid");
        else if (kill(pid, SIGTERM) == -1 && errno != ESRCH)
            warn("kill %d", static_cast<int>(pid));
    }
    // A service that still runs removes its own socket, this one on its way
    // out or another one; only a dead one's is cleared here. The lock, not
    // the connect, tells: a live service whose queue of new connections is
    // full refuses them at once (sys/kern/uipc_usrreq.c), as a dead one does.
    if (!find_service_lock(lock_file_path, &pid) &&
        probe_socket_path(socket_path) == path_state::stale)
        unlink(socket_path);
    unlink(pid_file_path);
    std::exit(0);
}
