#include "server/connection.hpp"

#include "runner/clock.hpp"
#include "server/request.hpp"

#include <sys/select.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <err.h>
#include <unistd.h>

enum class phase : std::uint8_t { reading, writing, draining };

struct connection {
    bool in_use;
    phase step;
    int fd;
    peer_identity peer;
    timespec deadline; // of the step under way, on CLOCK_MONOTONIC
    request_line line;
    std::size_t length; // of the reply
    std::size_t sent;
    char reply[outgoing_capacity];
};

static bool try_again_later();
static void take_step(connection &c, const wait_set &set, request_handler handler);
static void read_some(connection &c, request_handler handler);
static void serve(connection &c, request_handler handler);
static void begin_reply(connection &c, std::size_t length);
static void write_some(connection &c);
static void begin_drain(connection &c);
static void drain_some(connection &c);
static void close_connection(connection &c);
static void forget_closed();
static void accept_one(int listen_fd, request_handler handler);
static void admit(int fd, request_handler handler);
static void warn_table_full();

static constexpr long line_seconds = 5;
static constexpr long reply_seconds = 5;
static constexpr long drain_seconds = 1;
static constexpr long full_warning_seconds = 60;
static constexpr std::size_t drain_chunk = 4096;
static constexpr char too_long_reply[] = "error: request too long\n";

static_assert(sizeof too_long_reply - 1 <= outgoing_capacity);

static connection table[connection_capacity];
// The open connections' places in the table, oldest first, so requests
// whose lines end in the same wake are served in the order they came.
static std::uint8_t order[connection_capacity];
static std::size_t open_count;
// "too many connections" is said at most once a minute.
static bool warned_full;
static timespec next_full_warning;

bool
peer_has_left(int fd) {
    char discard[request_capacity];
    ssize_t n = recv(fd, discard, sizeof discard, MSG_DONTWAIT);
    return n == 0 || (n == -1 && !try_again_later());
}

// The socket has nothing to give or no room now; the wait will tell.
static bool
try_again_later() {
    return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
}

static void
take_step(connection &c, const wait_set &set, request_handler handler) {
    bool ready = c.step == phase::writing ? is_writable(set, c.fd) : is_readable(set, c.fd);
    if (ready && c.step == phase::reading)
        read_some(c, handler);
    else if (ready && c.step == phase::writing)
        write_some(c);
    else if (ready)
        drain_some(c);
    if (!c.in_use || nanoseconds_until(c.deadline, deadline_after(0)) > 0)
        return;
    // A line not complete in time is served with what came, as at the end
    // of the stream; a reply or a drain out of time ends the connection.
    if (c.step == phase::reading)
        serve(c, handler);
    else
        close_connection(c);
}

static void
read_some(connection &c, request_handler handler) {
    std::span<char> room = line_room(c.line);
    ssize_t n = recv(c.fd, room.data(), room.size(), 0);
    if (n == -1 && try_again_later())
        return;
    // The end of the stream, or a failure: served with what came.
    if (n <= 0) {
        serve(c, handler);
        return;
    }
    line_state state = line_took(c.line, static_cast<std::size_t>(n));
    if (state == line_state::too_long) {
        std::memcpy(c.reply, too_long_reply, sizeof too_long_reply - 1);
        begin_reply(c, sizeof too_long_reply - 1);
    } else if (state == line_state::complete) {
        serve(c, handler);
    }
}

// A blank request is closed without a reply.
static void
serve(connection &c, request_handler handler) {
    std::string_view request = line_request(c.line);
    if (request.empty()) {
        close_connection(c);
        return;
    }
    handled outcome = handler(c.fd, c.peer, request, {c.reply, sizeof c.reply});
    if (outcome.how == served::reply) {
        begin_reply(c, outcome.length);
        return;
    }
    // Whatever becomes of this send, the new owner sees the end of the
    // connection as its own.
    (void)send(c.fd, c.reply, outcome.length, MSG_NOSIGNAL);
    c.in_use = false;
}

static void
begin_reply(connection &c, std::size_t length) {
    c.step = phase::writing;
    c.length = length;
    c.sent = 0;
    c.deadline = deadline_after(reply_seconds);
    write_some(c);
}

static void
write_some(connection &c) {
    ssize_t n = send(c.fd, c.reply + c.sent, c.length - c.sent, MSG_NOSIGNAL);
    if (n == -1 && try_again_later())
        return;
    if (n <= 0) {
        close_connection(c);
        return;
    }
    c.sent += static_cast<std::size_t>(n);
    if (c.sent == c.length)
        begin_drain(c);
}

static void
begin_drain(connection &c) {
    shutdown(c.fd, SHUT_WR);
    c.step = phase::draining;
    c.deadline = deadline_after(drain_seconds);
    drain_some(c);
}

// One read a wake, so a client that keeps sending cannot keep the loop.
static void
drain_some(connection &c) {
    char discard[drain_chunk];
    ssize_t n = recv(c.fd, discard, sizeof discard, 0);
    if (n == 0 || (n == -1 && !try_again_later()))
        close_connection(c);
}

static void
close_connection(connection &c) {
    close(c.fd);
    c.in_use = false;
}

static void
forget_closed() {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < open_count; i++) {
        if (table[order[i]].in_use)
            order[kept++] = order[i];
    }
    open_count = kept;
}

// One a wake: a client that came after the wait began is served after
// what that wait found, such as a holder's end or devd's news, has been
// dealt with, and the hold's follower is reached before the next request.
static void
accept_one(int listen_fd, request_handler handler) {
    int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd != -1) {
        admit(fd, handler);
        return;
    }
    // ECONNABORTED: a client gave up while it waited in the queue.
    if (errno != ECONNABORTED && !try_again_later())
        warn("accept");
}

// The request is often there by the time the connection is accepted, so
// it is read at once rather than after another wait.
static void
admit(int fd, request_handler handler) {
    forget_closed();
    // select cannot watch a descriptor past FD_SETSIZE.
    if (fd >= FD_SETSIZE || open_count == connection_capacity) {
        if (fd < FD_SETSIZE)
            warn_table_full();
        close(fd);
        return;
    }
    peer_identity peer;
    if (peer_of(fd, &peer) == -1) {
        warn("peer credentials");
        close(fd);
        return;
    }
    std::uint8_t slot = 0;
    while (table[slot].in_use)
        slot++;
    connection &c = table[slot];
    c.in_use = true;
    c.step = phase::reading;
    c.fd = fd;
    c.peer = peer;
    c.deadline = deadline_after(line_seconds);
    c.line.held = 0;
    order[open_count++] = slot;
    read_some(c, handler);
}

static void
warn_table_full() {
    timespec now = deadline_after(0);
    if (warned_full && nanoseconds_until(next_full_warning, now) > 0)
        return;
    warnx("too many connections");
    warned_full = true;
    next_full_warning = now;
    next_full_warning.tv_sec += full_warning_seconds;
}

void
connections_watch(wait_set &set, int listen_fd) {
    watch_readable(set, listen_fd);
    timespec now = deadline_after(0);
    for (std::size_t i = 0; i < open_count; i++) {
        const connection &c = table[order[i]];
        if (c.step == phase::writing)
            watch_writable(set, c.fd);
        else
            watch_readable(set, c.fd);
        watch_time(set, timeout_until(c.deadline, now));
    }
}

void
connections_wake(const wait_set &set, int listen_fd, request_handler handler) {
    for (std::size_t i = 0; i < open_count; i++)
        take_step(table[order[i]], set, handler);
    if (is_readable(set, listen_fd))
        accept_one(listen_fd, handler);
    forget_closed();
}

std::size_t
connections_open() {
    return open_count;
}
