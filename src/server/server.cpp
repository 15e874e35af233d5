#include "server/server.hpp"

#include "runner/location.hpp"
#include "lid/lid.hpp"
#include "runner/sysctl.hpp"
#include "runner/text.hpp"
#include "server/follow.hpp"
#include "server/hold.hpp"
#include "server/hold_words.hpp"
#include "server/peer.hpp"
#include "server/request.hpp"
#include "runner/socket_file.hpp"

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

// What became of a connection once its request was served.
enum class served { closed, held, quit };

static void check_machine(char *current, std::size_t capacity);
static gid_t look_up_group();
static void check_socket_path(sockaddr_un &addr, socklen_t *length);
static void check_socket_directory();
static void clear_socket_path();
static void install_signal_handlers(sigset_t *wait_mask);
static int open_listener(const sockaddr_un &addr, socklen_t length, gid_t gid);
[[noreturn]] static void abandon_socket(const char *call, bool with_path);
static int wait_for_work(int listen_fd, const sigset_t *wait_mask, fd_set *readable);
static int accept_client(int listen_fd);
static void check_holders(const fd_set &readable);
static served serve_one(int conn);
static served serve_hold(int conn, const peer_identity &peer, server_request request,
                         std::string_view text);
static served serve_command(int conn, const peer_identity &peer, std::string_view command);
static void audit(const peer_identity &peer, std::string_view request);
static ssize_t read_before_deadline(void *context, char *dst, std::size_t max);
static void write_reply(int conn, const reply_text &reply);

static constexpr int listen_backlog = 4;
static constexpr mode_t socket_mode = 0660;
// A client that has not sent a whole request by then is served with what
// it sent, so one silent client cannot hold the service. A reply gets as
// long again from the moment it is ready, so a client that does not read
// cannot hold it either.
static constexpr time_t request_timeout_seconds = 5;
static constexpr int reply_timeout_ms = 5000;

// Cleared by a termination signal; the loop runs while it is set.
static volatile std::sig_atomic_t running = 1;

void
on_terminate_signal(int) {
    running = 0;
}

// Fills current with the lid setting as read at start.
static void
check_machine(char *current, std::size_t capacity) {
    if (geteuid() != 0)
        errx(1, "must run as root");
    const char *kind = switch_mode == s3 ? "S3" : "suspend-to-idle";
    if (probe_sleep_types() == -1 || sleep_type_for_mode()[0] == '\0')
        errx(1, "no %s sleep type in %s", kind, "kern.power.supported_stype");
    // The tool's own failure leaves errno alone; err() would then append
    // whatever an earlier call left there, or "Success".
    errno = 0;
    if (sysctl_read(lid_setting, current, capacity) == -1) {
        if (errno == 0)
            errx(1, "sysctl %s", lid_setting);
        err(1, "sysctl %s", lid_setting);
    }
}

static gid_t
look_up_group() {
    const group *gr = getgrnam(group_name);
    if (gr == nullptr)
        errx(1, "group %s: not found", group_name);
    return gr->gr_gid;
}

static void
check_socket_path(sockaddr_un &addr, socklen_t *length) {
    *length = make_socket_address(socket_path, addr);
    if (*length == 0)
        errx(1, "socket path too long");
}

// The owner and mode of the socket are set by name after bind. In a folder
// that others may write, someone could swap in a link or another file in
// between, so only a folder that root alone controls, or a sticky one, will
// do. Links are followed: /var/run may be a link to /run.
static void
check_socket_directory() {
    char dir[socket_path_capacity];
    // The whole path fits socket_path_capacity, so its folder does too.
    socket_directory(socket_path, dir, sizeof dir);
    struct stat st;
    if (stat(dir, &st) == -1)
        err(1, "socket directory %s", dir);
    bool shared = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0;
    if (st.st_uid != 0 || shared)
        errx(1, "socket directory %s: unsafe permissions", dir);
}

// A second service would orphan the first, so one that answers is left in
// place. Only a socket nobody listens on, or a link, is ever removed: any
// other file at the path is someone's data, and bind reports it instead.
static void
clear_socket_path() {
    path_state state = probe_socket_path(socket_path);
    if (state == path_state::answering)
        errx(1, "%s: a service is already running", socket_path);
    if (state == path_state::stale)
        unlink(socket_path);
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

// Removes the socket this start made, then ends with what went wrong, so a
// failed start leaves nothing behind.
static void
abandon_socket(const char *call, bool with_path) {
    int saved_errno = errno;
    remove_own_socket(socket_path);
    errno = saved_errno;
    if (with_path)
        err(1, "%s %s", call, socket_path);
    err(1, "%s", call);
}

// The listener is non-blocking so that a connection that vanishes between
// the wait and the accept cannot leave the loop stuck in accept with the
// termination signals shut out. It is close-on-exec so that no tool, nor
// anything a tool leaves running, holds the control socket. The file is
// born with no more than its final rights, and neither the owner nor the
// mode change follows a link put at the path since bind.
static int
open_listener(const sockaddr_un &addr, socklen_t length, gid_t gid) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd == -1)
        err(1, "socket");
    mode_t old_umask = umask(0777 & ~socket_mode);
    int rc = bind(fd, reinterpret_cast<const sockaddr *>(&addr), length);
    int saved_errno = errno;
    umask(old_umask);
    errno = saved_errno;
    if (rc == -1)
        err(1, "bind %s", socket_path);
    if (record_own_socket(socket_path) == -1)
        err(1, "lstat %s", socket_path);
    if (lchown(socket_path, 0, gid) == -1)
        abandon_socket("chown", true);
    if (fchmodat(AT_FDCWD, socket_path, socket_mode, AT_SYMLINK_NOFOLLOW) == -1)
        abandon_socket("chmod", true);
    return fd;
}

static void
watch(int fd, fd_set *readable, int *top) {
    if (fd == -1)
        return;
    FD_SET(fd, readable);
    *top = fd > *top ? fd : *top;
}

// Waits for a client, a holder's end, devd, the nearest end of a timed hold
// or retry, or a termination signal, all at once. Returns pselect's result.
static int
wait_for_work(int listen_fd, const sigset_t *wait_mask, fd_set *readable) {
    FD_ZERO(readable);
    int top = -1;
    watch(listen_fd, readable, &top);
    watch(follow_descriptor(), readable, &top);
    for (std::size_t i = 0; i < hold_count(); i++)
        watch(hold_connection(i), readable, &top);
    timespec hold_left, retry_left;
    bool hold_due = time_to_next_end(&hold_left);
    bool retry_due = follow_time_to_retry(&retry_left);
    const timespec *timeout = hold_due ? &hold_left : nullptr;
    if (retry_due && (!hold_due || nanoseconds_until(retry_left, hold_left) < 0))
        timeout = &retry_left;
    return pselect(top + 1, readable, nullptr, nullptr, timeout, wait_mask);
}

// Returns an accepted, blocking, close-on-exec connection, or -1.
static int
accept_client(int listen_fd) {
    // accept4 without SOCK_NONBLOCK gives a blocking socket on FreeBSD and
    // Linux alike: the listener's O_NONBLOCK is not handed on.
    int conn = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn == -1) {
        // ECONNABORTED: a client gave up while it waited in the queue.
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED)
            warn("accept");
        return -1;
    }
    // select cannot watch a descriptor past FD_SETSIZE.
    if (conn >= FD_SETSIZE) {
        close(conn);
        return -1;
    }
    return conn;
}

// A holder's sending side stays open while it holds; what it sends is
// discarded, and its end or any error ends the hold.
static void
check_holders(const fd_set &readable) {
    for (std::size_t i = hold_count(); i-- > 0;) {
        int fd = hold_connection(i);
        if (fd == -1 || !FD_ISSET(fd, &readable))
            continue;
        char discard[request_capacity];
        ssize_t n = recv(fd, discard, sizeof discard, MSG_DONTWAIT);
        if ((n == 0 || (n == -1 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) &&
            end_hold(i))
            follow_sleep_type_restored();
    }
}

static ssize_t
read_before_deadline(void *context, char *dst, std::size_t max) {
    auto *r = static_cast<deadline_reader *>(context);
    pollfd p = {r->fd, POLLIN, 0};
    int ready = poll(&p, 1, milliseconds_until(r->deadline));
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
    send_before_deadline(conn, line, length, reply_timeout_ms);
}

// Only requests already known to be valid are logged, so no peer can write
// its own bytes into the log.
static void
audit(const peer_identity &peer, std::string_view request) {
    warnx("uid %u pid %d: %.*s", static_cast<unsigned>(peer.uid), static_cast<int>(peer.pid),
          static_cast<int>(request.size()), request.data());
}

static served
serve_hold(int conn, const peer_identity &peer, server_request request, std::string_view text) {
    reply_text reply{};
    if (request.word == server_word::holds) {
        char list[holds_text_capacity];
        send_before_deadline(conn, list, list_holds(list, sizeof list), reply_timeout_ms);
        return served::closed;
    }
    if (request.word == server_word::power) {
        power_status(reply);
        write_reply(conn, reply);
        return served::closed;
    }
    if (request.word == server_word::bad_duration) {
        set_reply(reply, "error: bad duration");
        write_reply(conn, reply);
        return served::closed;
    }
    audit(peer, text);
    if (request.word == server_word::release) {
        bool restored = false;
        if (release_holds(peer.uid, reply, &restored) == -1)
            set_reply(reply, "error");
        if (restored)
            follow_sleep_type_restored();
        write_reply(conn, reply);
        return served::closed;
    }
    bool bound = request.word == server_word::hold;
    int rc = begin_hold(peer, bound ? conn : -1, request.seconds, reply);
    write_reply(conn, reply);
    if (rc == 0)
        follow_hold_began();
    return rc == 0 && bound ? served::held : served::closed;
}

static served
serve_command(int conn, const peer_identity &peer, std::string_view command) {
    command_effect effect = effect_of(command);
    if (effect != command_effect::none && effect != command_effect::unknown)
        audit(peer, command);
    reply_text reply{};
    int result = run_command(command, reply);
    // A person's own choice outlasts the holds.
    if (result == 0 && effect == command_effect::lid)
        forget_restore_state();
    if (reply[0] == '\0')
        set_reply(reply, result == 0 ? "ok" : "error");
    write_reply(conn, reply);
    return result == 1 ? served::quit : served::closed;
}

// A blank request is closed without a reply, and so is a connection whose
// peer cannot be named.
static served
serve_one(int conn) {
    peer_identity peer;
    if (peer_of(conn, &peer) == -1) {
        warn("peer credentials");
        return served::closed;
    }
    deadline_reader reader = {conn, deadline_after(request_timeout_seconds)};
    char text[request_capacity];
    std::string_view command = read_request(text, read_before_deadline, &reader);
    if (command.empty())
        return served::closed;
    server_request request = classify_request(command);
    if (request.word == server_word::other)
        return serve_command(conn, peer, command);
    return serve_hold(conn, peer, request, command);
}

int
run_server() {
    char current[setting_capacity];
    check_machine(current, sizeof current);
    gid_t gid = look_up_group();
    sockaddr_un addr;
    socklen_t length = 0;
    check_socket_path(addr, &length);
    check_socket_directory();
    clear_socket_path();
    restore_after_crash();
    sigset_t wait_mask;
    install_signal_handlers(&wait_mask);
    int listen_fd = open_listener(addr, length, gid);
    // Before listen, so that the first client already sees the result.
    follow_start();
    if (listen(listen_fd, listen_backlog) == -1)
        abandon_socket("listen", false);
    warnx("%s=%s; toggle writes %s; serving %s", lid_setting, current, sleep_type_for_mode(),
          socket_path);

    while (running) {
        fd_set readable;
        if (wait_for_work(listen_fd, &wait_mask, &readable) == -1)
            FD_ZERO(&readable);
        if (end_expired_holds())
            follow_sleep_type_restored();
        // devd's news first: a client in the same wait then meets it.
        follow_wake(readable);
        check_holders(readable);
        int conn = FD_ISSET(listen_fd, &readable) ? accept_client(listen_fd) : -1;
        served outcome = conn == -1 ? served::closed : serve_one(conn);
        if (conn != -1 && outcome != served::held)
            close(conn);
        if (outcome == served::quit)
            break;
        follow_settle();
    }
    end_all_holds();
    close(listen_fd);
    remove_own_socket(socket_path);
    return 0;
}
