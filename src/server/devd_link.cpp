#include "server/devd_link.hpp"

#include "policy/follow.hpp"
#include "runner/clock.hpp"

#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <err.h>
#include <unistd.h>

static bool connect_devd();
static void lose_devd();

// 15's unix sockets end each record with MSG_EOR and hand a long one over
// in pieces (sys/kern/uipc_usrreq.c); Linux never sets MSG_EOR.
#if defined(__FreeBSD__)
static constexpr bool record_ends_marked = true;
#else
static constexpr bool record_ends_marked = false;
#endif

// Owned by devd_receive: a record too long is being read in pieces.
static bool in_long_record;

// FreeBSD's sun_path size, as for the control socket.
static_assert(sizeof devd_socket_path <= 104);

// Owned here: the connection to devd and its retries.
static struct {
    int fd = -1;
    unsigned delay;    // seconds of the last wait before a retry; 0: none under way
    bool warned;       // this loss has been reported
    timespec retry_at; // on CLOCK_MONOTONIC
} devd = {};

int
devd_connect() {
    in_long_record = false;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd == -1)
        return -1;
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, devd_socket_path, sizeof devd_socket_path);
    // The length covers the path without its terminating zero.
    auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof devd_socket_path - 1);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), length) == -1) {
        int saved_errno = errno;
        close(fd);
        errno = saved_errno;
        return -1;
    }
    return fd;
}

devd_received
devd_receive(int fd) {
    char message[devd_message_capacity];
    iovec part = {message, sizeof message};
    msghdr header;
    std::memset(&header, 0, sizeof header);
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    ssize_t n = recvmsg(fd, &header, MSG_DONTWAIT);
    if (n == -1 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return {devd_status::nothing, devd_event::none};
    if (n <= 0)
        return {devd_status::closed, devd_event::none};
    auto length = static_cast<std::size_t>(n);
    devd_verdict verdict =
        devd_judge_read(in_long_record, length, header.msg_flags, record_ends_marked);
    in_long_record = verdict.discarding;
    if (!verdict.take)
        return {devd_status::message, devd_event::none};
    return {devd_status::message, parse_devd_event({message, length})};
}

devd_verdict
devd_judge_read(bool discarding, std::size_t length, int flags, bool marked_ends) {
    if ((flags & MSG_TRUNC) != 0)
        return {false, false};
    if (!marked_ends)
        return {true, false};
    bool ends = (flags & MSG_EOR) != 0;
    if (discarding)
        return {!ends && length < devd_message_capacity, !ends && length == devd_message_capacity};
    if (!ends && length == devd_message_capacity)
        return {false, true};
    return {true, false};
}

unsigned
devd_next_delay(unsigned previous) {
    if (previous == 0)
        return 1;
    return previous >= devd_retry_cap_seconds / 2 ? devd_retry_cap_seconds : previous * 2;
}

// Returns true when connected. A failure is reported once per loss, and the
// next attempt waits 1, 2, 4 ... seconds, up to a minute.
static bool
connect_devd() {
    devd.fd = devd_connect();
    if (devd.fd == -1) {
        if (!devd.warned)
            warn("devd: %s", devd_socket_path);
        devd.warned = true;
        devd.delay = devd_next_delay(devd.delay);
        devd.retry_at = deadline_after(devd.delay);
        return false;
    }
    devd.delay = 0;
    devd.warned = false;
    warnx("devd: connected");
    return true;
}

static void
lose_devd() {
    warnx("devd: connection closed");
    close(devd.fd);
    devd.fd = -1;
    follow_lost();
    devd.warned = true;
    devd.delay = devd_next_delay(0);
    devd.retry_at = deadline_after(devd.delay);
}

void
devd_link_start() {
    follow_load_settings();
    if (!following())
        return;
    follow_begin(connect_devd());
}

int
devd_link_descriptor() {
    return devd.fd;
}

bool
devd_link_time_to_retry(timespec *left) {
    if (devd.fd != -1 || !following())
        return false;
    *left = timeout_until(devd.retry_at, deadline_after(0));
    return true;
}

void
devd_link_wake(const wait_set &set) {
    if (devd.fd != -1) {
        if (!is_readable(set, devd.fd))
            return;
        devd_received got = devd_receive(devd.fd);
        if (got.status == devd_status::closed)
            lose_devd();
        else if (got.status == devd_status::message)
            follow_event(got.event);
        return;
    }
    timespec left;
    if (devd_link_time_to_retry(&left) && left.tv_sec == 0 && left.tv_nsec == 0 && connect_devd())
        follow_connected();
}

void
devd_link_hold_began() {
    if (devd.fd == -1 && devd.delay == 0 && connect_devd())
        follow_connected();
}
