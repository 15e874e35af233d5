#include "server/server.hpp"

#include "cli/settings.hpp"
#include "lid/lid.hpp"
#include "runner/sysctl.hpp"
#include "runner/text.hpp"
#include "server/request.hpp"

#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <err.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <unistd.h>

struct deadline_reader {
    int fd;
    timespec deadline;
};

static void check_machine();
static int open_listener();
static void bind_listener(int fd);
static void grant_group_access();
static void install_signal_handlers(sigset_t *wait_mask);
static int wait_for_connection(int listen_fd, const sigset_t *wait_mask);
static int serve_one(int conn);
static ssize_t read_before_deadline(void *context, char *dst, std::size_t max);
static long milliseconds_left(const timespec &deadline);
static void write_reply(int conn, const reply_text &reply);

// FreeBSD's sun_path size; used everywhere so a path that works here works there.
static constexpr std::size_t socket_path_capacity = 104;
static_assert(sizeof(sockaddr_un::sun_path) >= socket_path_capacity);

static constexpr int listen_backlog = 4;
static constexpr mode_t socket_mode = 0660;
// A client that has not sent a whole request by then is served with what
// it sent, so one silent client cannot hold the service.
static constexpr time_t request_timeout_seconds = 5;
static constexpr char lid_setting[] = "hw.acpi.lid_switch_state";

void
on_terminate_signal(int) {
    running = 0;
}

static void
check_machine() {
    if (geteuid() != 0)
        errx(1, "must run as root");
    const char *kind = switch_mode == s3 ? "S3" : "suspend-to-idle";
    if (probe_sleep_types() == -1 || sleep_type_for_mode()[0] == '\0')
        errx(1, "no %s sleep type in %s", kind, "kern.power.supported_stype");
    char current[setting_capacity];
    if (sysctl_read(lid_setting, current, sizeof current) == -1)
        err(1, "sysctl %s", lid_setting);
    warnx("%s=%s; toggle writes %s; serving %s", lid_setting, current, sleep_type_for_mode(),
          socket_path);
}

// The listener is non-blocking so that a connection that vanishes between
// the wait and the accept cannot leave the loop stuck in accept with the
// termination signals shut out. It is close-on-exec so that no tool, nor
// anything a tool leaves running, holds the control socket.
static int
open_listener() {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd == -1)
        err(1, "socket");
    return fd;
}

static void
bind_listener(int fd) {
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (copy_text(addr.sun_path, socket_path_capacity, socket_path) == -1)
        errx(1, "socket path too long");
    // The length byte stays zero: the kernel takes the length from the
    // argument, which covers the path without its terminating zero.
    auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + std::strlen(addr.sun_path));
    // The file is born with no more than its final rights, so it never
    // exists with wider ones, not even after a failed start-up.
    mode_t old_umask = umask(0777 & ~socket_mode);
    int rc = bind(fd, reinterpret_cast<const sockaddr *>(&addr), length);
    int saved_errno = errno;
    umask(old_umask);
    errno = saved_errno;
    if (rc == -1)
        err(1, "bind %s", socket_path);
}

// Neither call follows a symbolic link that may have been put at the path
// since bind created the socket.
static void
grant_group_access() {
    const group *gr = getgrnam(group_name);
    if (gr == nullptr)
        errx(1, "group %s: not found", group_name);
    if (lchown(socket_path, 0, gr->gr_gid) == -1)
        err(1, "chown %s", socket_path);
    if (fchmodat(AT_FDCWD, socket_path, socket_mode, AT_SYMLINK_NOFOLLOW) == -1)
        err(1, "chmod %s", socket_path);
}

// Termination signals stay blocked except while waiting for a connection,
// so none is lost between the loop's test and the wait, and none cuts a
// request, a tool run or a reply short. They are blocked before the socket
// file can appear: a signal sent as soon as the service is found is held
// until the first wait, which then ends the service in order and removes
// the file, instead of killing it and leaving the file behind.
static void
install_signal_handlers(sigset_t *wait_mask) {
    sigset_t terminate;
    sigemptyset(&terminate);
    sigaddset(&terminate, SIGTERM);
    sigaddset(&terminate, SIGINT);
    sigprocmask(SIG_BLOCK, &terminate, wait_mask);
    sigdelset(wait_mask, SIGTERM);
    sigdelset(wait_mask, SIGINT);

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_terminate_signal;
    sigfillset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
}

// Returns an accepted, blocking, close-on-exec connection, or -1 to go back
// to the loop's test of running.
static int
wait_for_connection(int listen_fd, const sigset_t *wait_mask) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listen_fd, &readable);
    int conn = -1;
    if (pselect(listen_fd + 1, &readable, nullptr, nullptr, nullptr, wait_mask) != -1)
        conn = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn == -1) {
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK && running)
            warn("accept");
        return -1;
    }
    // FreeBSD hands the listener's O_NONBLOCK on to accepted sockets.
    int flags = fcntl(conn, F_GETFL);
    if (flags == -1 || fcntl(conn, F_SETFL, flags & ~O_NONBLOCK) == -1) {
        warn("accept");
        close(conn);
        return -1;
    }
    return conn;
}

static long
milliseconds_left(const timespec &deadline) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long ms = (deadline.tv_sec - now.tv_sec) * 1000 + (deadline.tv_nsec - now.tv_nsec) / 1000000;
    return ms > 0 ? ms : 0;
}

static ssize_t
read_before_deadline(void *context, char *dst, std::size_t max) {
    auto *r = static_cast<deadline_reader *>(context);
    pollfd p = {r->fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(milliseconds_left(r->deadline)));
    if (ready == 0) {
        errno = ETIMEDOUT;
        return -1;
    }
    if (ready == -1)
        return -1;
    return read(r->fd, dst, max);
}

static void
write_reply(int conn, const reply_text &reply) {
    char line[reply_capacity + 1];
    std::size_t length = bounded_length(reply.data(), reply.size());
    std::memcpy(line, reply.data(), length);
    line[length++] = '\n';
    std::size_t sent = 0;
    while (sent < length) {
        ssize_t n = write(conn, line + sent, length - sent);
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
}

// Returns the command's result, or 0 for a blank request, which is closed
// without a reply.
static int
serve_one(int conn) {
    deadline_reader reader = {conn, {}};
    clock_gettime(CLOCK_MONOTONIC, &reader.deadline);
    reader.deadline.tv_sec += request_timeout_seconds;

    char text[request_capacity];
    std::string_view command = read_request(text, read_before_deadline, &reader);
    if (command.empty())
        return 0;
    reply_text reply{};
    int result = run_command(command, reply);
    if (reply[0] == '\0')
        set_reply(reply, result == 0 ? "ok" : "error");
    write_reply(conn, reply);
    return result;
}

int
run_server() {
    check_machine();
    sigset_t wait_mask;
    install_signal_handlers(&wait_mask);
    unlink(socket_path);
    int listen_fd = open_listener();
    bind_listener(listen_fd);
    grant_group_access();
    if (listen(listen_fd, listen_backlog) == -1)
        err(1, "listen");

    while (running) {
        int conn = wait_for_connection(listen_fd, &wait_mask);
        if (conn == -1)
            continue;
        int result = serve_one(conn);
        close(conn);
        if (result == 1)
            break;
    }
    close(listen_fd);
    unlink(socket_path);
    return 0;
}
