#include "server/server.hpp"

#include "lid/lid.hpp"
#include "policy/battery.hpp"
#include "policy/closed_lid_suspend.hpp"
#include "policy/docked.hpp"
#include "policy/follow.hpp"
#include "policy/heat.hpp"
#include "policy/hold.hpp"
#include "protocol/hold_words.hpp"
#include "runner/location.hpp"
#include "runner/socket_file.hpp"
#include "runner/sysctl.hpp"
#include "runner/text.hpp"
#include "server/connection.hpp"
#include "server/devd_link.hpp"
#include "server/peer.hpp"
#include "server/wait_set.hpp"
#include "server/watch.hpp"

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
#include <unistd.h>

static void check_machine(char *current, std::size_t capacity);
static gid_t look_up_group();
static void check_socket_path(sockaddr_un &addr, socklen_t *length);
static void check_socket_directory();
static void clear_socket_path();
static void lock_service();
static void install_signal_handlers(sigset_t *wait_mask);
static int open_listener(const sockaddr_un &addr, socklen_t length, gid_t gid);
[[noreturn]] static void abandon_socket(const char *call, bool with_path);
static void announce(const char *found_at_start);
static void gather(wait_set &set, int listener);
static void dispatch(const wait_set &set, int listener);
static void watch_holders(wait_set &set);
static void watch_follower(wait_set &set);
static void watch_others(wait_set &set);
static void check_holders(const wait_set &set);
static void check_watchers(const wait_set &set);
static void close_ended_holds();
static void settle_news();
static void settle_requests();
static handled serve_request(kept_connection conn, const peer_identity &peer,
                             std::string_view request, std::span<char> room);
static handled serve_hold(kept_connection conn, const peer_identity &peer, server_request request,
                          std::string_view text, std::span<char> room);
static handled serve_command(const peer_identity &peer, std::string_view command,
                             std::span<char> room);
static handled reply_line(const reply_text &reply, std::span<char> room);
static void audit(const peer_identity &peer, std::string_view request);

// As many as the table of connections holds.
static constexpr int listen_backlog = static_cast<int>(connection_capacity);
static constexpr mode_t socket_mode = 0660;

static_assert(reply_capacity + 1 <= outgoing_capacity);
static_assert(holds_text_capacity <= outgoing_capacity);

// Cleared by a termination signal or "quit"; the service then accepts no
// more connections and ends once those it has are done.
static volatile std::sig_atomic_t running = 1;
// A hold began in this wake; devd is reached once its reply is out.
static bool hold_began;

void
on_terminate_signal(int) {
    running = 0;
}

// Fills current with the lid setting as read at start.
static void
check_machine(char *current, std::size_t capacity) {
    if (geteuid() != 0)
        errx(1, "must run as root");
    bool listed = probe_sleep_types() == 0;
    if (listed)
        fit_default_mode();
    const char *kind = sleep_kind(switch_mode);
    if (!listed || sleep_type_for_mode()[0] == '\0')
        errx(1, "no %s sleep type in %s", kind, sleep_type_list());
    // The tool's own failure leaves errno alone; err() would then append
    // whatever an earlier call left there, or "Success".
    errno = 0;
    if (read_lid_action(current, capacity) == -1) {
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
// The lock comes between the two: a service on another path shares the
// lid and the restore file, and must be found before anything changes.
static void
clear_socket_path() {
    path_state state = probe_socket_path(socket_path);
    if (state == path_state::answering)
        errx(1, "%s: a service is already running", socket_path);
    lock_service();
    if (state == path_state::stale)
        unlink(socket_path);
}

static void
lock_service() {
    pid_t holder = 0;
    int rc = take_service_lock(lock_file_path, &holder);
    if (rc == 1)
        errx(1, "another service is running (pid %d)", static_cast<int>(holder));
    if (rc == -1)
        err(1, "%s", lock_file_path);
}

// Termination signals stay blocked except in the loop's wait, so none is
// lost between the loop's test and the wait, and none cuts a tool run
// short. They are blocked before the socket
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

// The notice shows the lid action as start-up left it, after the restore
// file and the power source's setting; the value found at the very start
// stands in only if it can no longer be read.
static void
announce(const char *found_at_start) {
    char current[setting_capacity];
    if (read_lid_action(current, sizeof current) == -1 &&
        copy_text(current, sizeof current, found_at_start) == -1)
        current[0] = '\0';
    warnx("%s=%s; toggle writes %s; serving %s", lid_setting, current, sleep_type_for_mode(),
          socket_path);
}

// Each owner adds what it waits on; listener is -1 once no more
// connections are taken.
static void
gather(wait_set &set, int listener) {
    wait_set_clear(set);
    connections_watch(set, listener);
    watch_holders(set);
    watch_follower(set);
    watch_others(set);
}

// Hands what the wait found, and what has come due, to each owner, in the
// order a pass must run.
static void
dispatch(const wait_set &set, int listener) {
    // Time asleep first, so that a hold it ends ends now, and every reply
    // below shows the corrected time left.
    // While devd is connected, only a resume event makes a jump sleep.
    count_time_asleep(devd_link_descriptor() != -1);
    end_expired_holds();
    retry_write_back();
    // devd's news and the holders' ends next, and the battery floor's and
    // the heat guard's looks at them, then what they owe: a request in the same wake then meets
    // it done.
    devd_link_wake(set);
    follow_poll();
    follow_displays();
    check_holders(set);
    check_watchers(set);
    battery_settle();
    heat_settle();
    close_ended_holds();
    settle_news();
    connections_wake(set, listener, serve_request);
    settle_requests();
    // Last, so that watchers hear of everything this pass changed.
    publish_state();
}

// The holds hand back the connections of the bound ones they ended; each
// is closed here, so its holder sees the end.
static void
close_ended_holds() {
    for (int fd = take_ended_hold(); fd != -1; fd = take_ended_hold())
        close(fd);
}

// What devd's news, the holders' ends and the battery floor owe: the
// floor's suspend, which stands for any other, then the closed-lid suspend
// that a source change or the holds' end left owed.
static void
settle_news() {
    battery_suspend();
    follow_settle();
}

// What this wake's requests owe: devd, reached once a hold began and its
// reply is out, and the closed-lid suspend owed by a release that wrote a
// sleep type back.
static void
settle_requests() {
    if (hold_began)
        devd_link_hold_began();
    hold_began = false;
    follow_settle();
}

static void
watch_holders(wait_set &set) {
    for (std::size_t i = 0; i < hold_count(); i++)
        watch_readable(set, hold_connection(i).fd);
    timespec left;
    if (time_to_next_end(&left))
        watch_time(set, left);
    if (time_to_retry_write_back(&left))
        watch_time(set, left);
}

static void
watch_follower(wait_set &set) {
    watch_readable(set, devd_link_descriptor());
    timespec left;
    if (devd_link_time_to_retry(&left))
        watch_time(set, left);
    if (follow_time_to_poll(&left))
        watch_time(set, left);
    if (docked_time_to_read(&left))
        watch_time(set, left);
    if (holdoff_time_left(&left))
        watch_time(set, left);
}

// Watchers, to learn that they closed, and the battery floor's next
// reading while the level is watched, and the heat guard's.
static void
watch_others(wait_set &set) {
    for (std::size_t i = 0; i < watcher_count(); i++)
        watch_readable(set, watcher_connection(i));
    timespec left;
    if (battery_time_to_read(&left))
        watch_time(set, left);
    if (heat_time_to_read(&left))
        watch_time(set, left);
}

// A holder's sending side stays open while it holds; its end, any error
// or a stream of bytes ends the hold.
static void
check_holders(const wait_set &set) {
    for (std::size_t i = hold_count(); i-- > 0;) {
        kept_connection &conn = hold_connection(i);
        if (!is_readable(set, conn.fd))
            continue;
        kept_news news = read_kept(conn);
        if (news != kept_news::quiet)
            holder_ended(i, news == kept_news::kept_sending);
    }
    close_ended_holds();
}

static void
check_watchers(const wait_set &set) {
    for (std::size_t i = watcher_count(); i-- > 0;) {
        if (is_readable(set, watcher_connection(i)))
            watcher_readable(i);
    }
}

static handled
reply_line(const reply_text &reply, std::span<char> room) {
    std::size_t length = bounded_length(reply.data(), reply.size());
    std::memcpy(room.data(), reply.data(), length);
    room[length++] = '\n';
    return {served::reply, length};
}

// Only requests already known to be valid are logged, so no peer can write
// its own bytes into the log.
static void
audit(const peer_identity &peer, std::string_view request) {
    warnx("uid %u pid %d: %.*s", static_cast<unsigned>(peer.uid), static_cast<int>(peer.pid),
          static_cast<int>(request.size()), request.data());
}

static handled
serve_hold(kept_connection conn, const peer_identity &peer, server_request request,
           std::string_view text, std::span<char> room) {
    reply_text reply{};
    if (request.word == server_word::holds)
        return {served::reply, list_holds(room.data(), room.size())};
    if (request.word == server_word::power) {
        power_status(reply);
        return reply_line(reply, room);
    }
    if (request.word == server_word::state) {
        state_reply(reply);
        return reply_line(reply, room);
    }
    // The watchers send their own first line.
    if (request.word == server_word::watch) {
        if (begin_watch(conn, peer.uid, reply) == 0)
            return {served::handed, 0};
        return reply_line(reply, room);
    }
    if (request.word == server_word::bad_duration || request.word == server_word::bad_reason) {
        set_reply(reply, request.word == server_word::bad_duration
                             ? "error: bad duration (1s to 7d)"
                             : "error: bad reason");
        return reply_line(reply, room);
    }
    audit(peer, text);
    if (request.word == server_word::release) {
        if (release_holds(peer.uid, reply) == -1)
            set_reply(reply, "error");
        close_ended_holds();
        return reply_line(reply, room);
    }
    // The battery floor and the heat guard refuse a hold they would end
    // at once.
    if (battery_refuses_hold(reply) || heat_refuses_hold(reply))
        return reply_line(reply, room);
    bool bound = request.word == server_word::hold;
    kept_connection held = {bound ? conn.fd : -1, conn.sent};
    int rc = begin_hold(peer, held, request.seconds, request.reason, reply);
    handled outcome = reply_line(reply, room);
    hold_began |= rc == 0;
    if (rc == 0 && bound)
        outcome.how = served::handed;
    return outcome;
}

static handled
serve_command(const peer_identity &peer, std::string_view command, std::span<char> room) {
    command_effect effect = effect_of(command);
    if (effect != command_effect::none && effect != command_effect::unknown)
        audit(peer, command);
    reply_text reply{};
    bool remembered = remembered_lid_state()[0] != '\0';
    int result = run_command(command, reply, remembered ? stage_person_choice : nullptr);
    // A person's own choice outlasts the holds.
    if (effect == command_effect::lid)
        end_person_choice(peer.uid, result == 0);
    if (effect == command_effect::lid && result == 0)
        undock_action_overruled(peer.uid);
    if (reply[0] == '\0')
        set_reply(reply, result == 0 ? "ok" : "error");
    if (result == 1)
        running = 0;
    return reply_line(reply, room);
}

// A zero byte is part of no word: such a request goes to the lid commands,
// which know none like it, and is not read as a hold's bad duration.
static handled
serve_request(kept_connection conn, const peer_identity &peer, std::string_view request,
              std::span<char> room) {
    server_request word = classify_request(request);
    if (word.word == server_word::other || request.find('\0') != std::string_view::npos)
        return serve_command(peer, request, room);
    return serve_hold(conn, peer, word, request, room);
}

int
run_server() {
    char found[setting_capacity];
    check_machine(found, sizeof found);
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
    devd_link_start();
    if (listen(listen_fd, listen_backlog) == -1)
        abandon_socket("listen", false);
    announce(found);

    // Wait for anything at all, then hand each ready thing to its owner.
    while (running || connections_open() > 0) {
        int listener = running ? listen_fd : -1;
        wait_set set;
        gather(set, listener);
        wait_for_any(set, &wait_mask);
        dispatch(set, listener);
    }
    end_all_holds();
    close_ended_holds();
    close(listen_fd);
    remove_own_socket(socket_path);
    return 0;
}
