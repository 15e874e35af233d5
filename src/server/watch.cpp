#include "server/watch.hpp"

#include "runner/text.hpp"
#include "server/connection.hpp"
#include "server/follow.hpp"
#include "server/hold.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

struct watcher {
    kept_connection conn;
    uid_t uid;
    reply_text last; // the line last sent, without its line feed
};

static const char *or_none(const char *value);
static void send_line(std::size_t index, const reply_text &line);
static void forget_watcher(std::size_t index);
static uid_t uid_of_watcher(std::size_t index);

// A line is under 256 bytes, so a watcher that lets this much pile up
// unread has stopped reading. Linux charges a local stream's unread bytes
// to the sender's buffer, which this bounds. FreeBSD 15 does not look at
// the sender's buffer of a unix stream: the unread bytes are queued in the
// receiver's, net.local.stream.recvspace (64 KiB by default;
// sys/kern/uipc_usrreq.c), so there a stalled watcher is dropped only once
// some 250 lines are waiting for it. Either way it is bounded.
static constexpr int watcher_send_buffer = 4096;
static constexpr table_share watcher_shares = {watcher_capacity, watcher_share,
                                               watchers_kept_for_root};

// Kept apart from the holders, in the order they came; a forgotten one's
// place goes to the last.
static watcher watchers[watcher_capacity];
static std::size_t watching;

static const char *
or_none(const char *value) {
    return value[0] != '\0' ? value : "none";
}

// Every value has a name of the kernel's or a short word of the service's,
// so the line fits; the power line would be left off rather than cut.
void
format_state_line(reply_text &line) {
    const char *action = known_lid_action();
    int n = std::snprintf(
        line.data(), line.size(), "action=%s mode=%s toggle=%s holds=%zu saved=%s ",
        action[0] != '\0' ? action : "unknown", switch_mode == s3 ? "s3" : "s0ix",
        or_none(sleep_type_for_mode()), hold_count(), or_none(remembered_lid_state()));
    reply_text power{};
    power_status(power);
    if (n > 0 && static_cast<std::size_t>(n) < line.size())
        copy_text(line.data() + n, line.size() - static_cast<std::size_t>(n), power.data());
}

int
state_reply(reply_text &reply) {
    if (read_lid_action(reply.data(), reply.size()) == -1) {
        set_reply(reply, "error");
        return -1;
    }
    format_state_line(reply);
    return 0;
}

static uid_t
uid_of_watcher(std::size_t index) {
    return watchers[index].uid;
}

int
begin_watch(kept_connection conn, uid_t uid, reply_text &reply) {
    if (share_for(watcher_shares, uid, watching, uid_of_watcher) != share_verdict::granted) {
        set_reply(reply, "error: too many watchers");
        return -1;
    }
    // On Linux, without the smaller buffer a stalled watcher is dropped later.
    (void)setsockopt(conn.fd, SOL_SOCKET, SO_SNDBUF, &watcher_send_buffer,
                     sizeof watcher_send_buffer);
    watchers[watching] = {conn, uid, {}};
    reply_text line{};
    format_state_line(line);
    send_line(watching++, line);
    return 0;
}

std::size_t
watcher_count() {
    return watching;
}

int
watcher_connection(std::size_t index) {
    return watchers[index].conn.fd;
}

void
watcher_readable(std::size_t index) {
    if (read_kept(watchers[index].conn) != kept_news::quiet)
        forget_watcher(index);
}

void
publish_state() {
    if (watching == 0)
        return;
    reply_text line{};
    format_state_line(line);
    for (std::size_t i = watching; i-- > 0;) {
        if (std::strcmp(watchers[i].last.data(), line.data()) != 0)
            send_line(i, line);
    }
}

// One send that never waits: all of the line, or the watcher is dropped.
static void
send_line(std::size_t index, const reply_text &line) {
    char text[reply_capacity + 1];
    std::size_t length = bounded_length(line.data(), line.size());
    std::memcpy(text, line.data(), length);
    text[length++] = '\n';
    ssize_t n = send(watchers[index].conn.fd, text, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n != static_cast<ssize_t>(length)) {
        forget_watcher(index);
        return;
    }
    watchers[index].last = line;
}

static void
forget_watcher(std::size_t index) {
    close(watchers[index].conn.fd);
    watchers[index] = watchers[--watching];
}
