#include "server/connection.hpp"

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
    std::size_t drained; // bytes read and discarded after the reply
    char reply[outgoing_capacity];
};

// When a warning may next be given.
struct warning_clock {
    bool warned;
    timespec next;
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
static void accept_waiting(int listen_fd, request_handler handler);
static void admit(int fd, request_handler handler, bool read_now);
static uid_t uid_of_open(std::size_t index);
static void refuse(int fd, share_verdict verdict, uid_t uid);
static bool warning_due(warning_clock &clock);

static constexpr long line_seconds = 5;
static constexpr long reply_seconds = 5;
static constexpr long drain_seconds = 1;
static constexpr long warning_seconds = 60;
static constexpr std::size_t drain_limit = 4096;
// Twice what the listen queue holds: the queue is emptied at every wake,
// yet connects that come as fast as they are refused cannot keep the loop
// from the rest of its work.
static constexpr std::size_t accept_burst = 2 * connection_capacity;
static constexpr table_share connection_shares = {connection_capacity, connection_share,
                                                  connections_kept_for_root};
static constexpr char too_long_reply[] = "error: request too long\n";
static constexpr char refusal[] = "error: too many connections\n";

static_assert(sizeof too_long_reply - 1 <= outgoing_capacity);
static_assert(connection_share <= connection_capacity - connections_kept_for_root);

static connection table[connection_capacity];
// The open connections' places in the table, oldest first, so requests
// whose lines end in the same wake are served in the order they came.
static std::uint8_t order[connection_capacity];
static std::size_t open_count;
// Each reason for a refusal is warned at most once a minute, whoever the
// user, so that a flood cannot flood the log too.
static warning_clock table_full_warning, over_share_warning;

kept_news
read_kept(kept_connection &conn) {
    char discard[kept_send_limit + 1];
    ssize_t n = recv(conn.fd, discard, sizeof discard, MSG_DONTWAIT);
    if (n == 0 || (n == -1 && !try_again_later()))
        return kept_news::left;
    if (n > 0)
        conn.sent += static_cast<std::size_t>(n);
    return conn.sent > kept_send_limit ? kept_news::kept_sending : kept_news::quiet;
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
    // Before the request is cut out in place, which may overwrite the feed.
    kept_connection conn = {c.fd, bytes_after_line(c.line)};
    std::string_view request = line_request(c.line);
    if (request.empty()) {
        close_connection(c);
        return;
    }
    handled outcome = handler(conn, c.peer, request, {c.reply, sizeof c.reply});
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
    c.drained = 0;
    drain_some(c);
}

// One read a wake, so a client that keeps sending cannot keep the loop,
// and 4 KiB in all: one that sends that much after its request has had
// its reply and is only keeping the service busy.
static void
drain_some(connection &c) {
    char discard[drain_limit];
    ssize_t n = recv(c.fd, discard, drain_limit - c.drained, 0);
    if (n > 0)
        c.drained += static_cast<std::size_t>(n);
    if (n == 0 || (n == -1 && !try_again_later()) || c.drained == drain_limit)
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

// Until the queue is empty, so that a storm of connects cannot keep it
// full and turn away root's. Only the first is read at once: the others
// are read at the next wake, oldest first, so that a client that came
// after the wait began is served after what that wait found, such as a
// holder's end or devd's news, has been dealt with, the hold's follower
// is reached before the next request, and watchers hear of each pass.
static void
accept_waiting(int listen_fd, request_handler handler) {
    for (std::size_t i = 0; i < accept_burst; i++) {
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd != -1) {
            admit(fd, handler, i == 0);
            continue;
        }
        // ECONNABORTED: a client gave up while it waited in the queue.
        if (errno == ECONNABORTED || errno == EINTR)
            continue;
        if (!try_again_later())
            warn("accept");
        return;
    }
}

// The request is often there by the time the connection is accepted, so
// it is read at once rather than after another wait, when read_now says.
static void
admit(int fd, request_handler handler, bool read_now) {
    forget_closed();
    peer_identity peer;
    if (peer_of(fd, &peer) == -1) {
        warn("peer credentials");
        close(fd);
        return;
    }
    share_verdict verdict = share_for(connection_shares, peer.uid, open_count, uid_of_open);
    // select cannot watch a descriptor past FD_SETSIZE.
    if (fd >= FD_SETSIZE)
        verdict = share_verdict::full;
    if (verdict != share_verdict::granted) {
        refuse(fd, verdict, peer.uid);
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
    if (read_now)
        read_some(c, handler);
}

static uid_t
uid_of_open(std::size_t index) {
    return table[order[index]].peer.uid;
}

// Never waits, and never waits in the table: the refusal goes out only if
// the socket takes it at once. What the client sent already is read
// first, so that the close does not turn the line into a reset.
static void
refuse(int fd, share_verdict verdict, uid_t uid) {
    if (verdict == share_verdict::over_share && warning_due(over_share_warning))
        warnx("too many connections from uid %u", static_cast<unsigned>(uid));
    else if (verdict == share_verdict::full && warning_due(table_full_warning))
        warnx("too many connections");
    (void)send(fd, refusal, sizeof refusal - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    char discard[request_capacity];
    (void)recv(fd, discard, sizeof discard, MSG_DONTWAIT);
    close(fd);
}

static bool
warning_due(warning_clock &clock) {
    timespec now = deadline_after(0);
    if (clock.warned && nanoseconds_until(clock.next, now) > 0)
        return false;
    clock.warned = true;
    clock.next = now;
    clock.next.tv_sec += warning_seconds;
    return true;
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
        accept_waiting(listen_fd, handler);
    forget_closed();
}

std::size_t
connections_open() {
    return open_count;
}
