// Stand-in for FreeBSD's devd(8) on the simulated machine, as far as its
// event socket goes.
//
//   devd                   listen on DIR/run/devd.seqpacket.pipe (that is
//                          /var/run/devd.seqpacket.pipe inside) and relay
//   devd --send MESSAGE... send each message to a running stand-in and
//                          return once it has been relayed
//
// Listening, it relays every message a client sends, unchanged and one per
// packet, to every other client, then answers the sender with a packet of
// a zero byte and "relayed to N" (N clients reached); --send waits for that
// answer and prints its text. Like devd, it drops a client whose buffer is
// full. It prints one line on standard output once it listens (and then
// closes it), and ends on
// SIGTERM, SIGINT or SIGHUP, or when its parent ends, removing its socket.
#include "tool.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <vector>

namespace {

const char tool[] = "devd";
// Larger than any message the service takes, so oversized ones get through.
char packet[65536];
volatile sig_atomic_t stopping = 0;
constexpr int answer_timeout_ms = 5000;

void
on_signal(int) {
    stopping = 1;
}

[[noreturn]] void
fail(const char *a, const char *b = nullptr, const char *c = nullptr) {
    sim::error(tool, a, b, c);
    _exit(1);
}

sockaddr_un
address(const char *path) {
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof addr.sun_path)
        fail(path, ": path too long for a socket");
    strcpy(addr.sun_path, path);
    return addr;
}

// A connected SOCK_SEQPACKET socket, or -1 with errno set.
int
connect_to(const char *path) {
    sockaddr_un addr = address(path);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd != -1 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == -1) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

int
open_listener(const char *path) {
    int probe = connect_to(path);
    if (probe != -1)
        fail(path, ": another stand-in already listens there");
    // Whatever is left at the path answers nobody: a stale socket.
    unlink(path);
    sockaddr_un addr = address(path);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd == -1 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == -1 ||
        chmod(path, 0666) == -1 || listen(fd, SOMAXCONN) == -1)
        fail(path, ": ", strerror(errno));
    return fd;
}

// Sends without waiting and without SIGPIPE; a client that cannot take the
// whole packet now is dropped.
bool
deliver(int fd, const char *p, size_t n) {
    return send(fd, p, n, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(n);
}

void
drop(int &fd) {
    close(fd);
    fd = -1;
}

void
relay(std::vector<int> &clients, size_t from, size_t n) {
    unsigned long reached = 0;
    for (size_t i = 0; i < clients.size(); ++i) {
        if (i == from || clients[i] == -1)
            continue;
        if (deliver(clients[i], packet, n))
            ++reached;
        else
            drop(clients[i]);
    }
    sim::Buf answer;
    answer.add('\0');
    answer.add("relayed to ");
    answer.add_uint(reached);
    if (!deliver(clients[from], answer.c_str(), answer.size()))
        drop(clients[from]);
}

void
serve_client(std::vector<int> &clients, size_t i) {
    ssize_t n = recv(clients[i], packet, sizeof packet, MSG_DONTWAIT);
    if (n > 0)
        relay(clients, i, static_cast<size_t>(n));
    else if (n == 0 || (errno != EAGAIN && errno != EINTR))
        drop(clients[i]);
}

// The ending signals stay blocked but inside the wait, so none slips in
// between the test of stopping and the wait. Returns the mask for the wait.
sigset_t
handle_signals() {
    sigset_t ending, wait_mask;
    sigemptyset(&ending);
    struct sigaction act;
    memset(&act, 0, sizeof act);
    act.sa_handler = on_signal; // no SA_RESTART: poll must return
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&ending, sig);
        sigaction(sig, &act, nullptr);
    }
    sigprocmask(SIG_BLOCK, &ending, &wait_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigdelset(&wait_mask, sig);
    signal(SIGPIPE, SIG_IGN);
    // Test tooling must not outlive whoever started it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    return wait_mask;
}

int
serve(const char *path) {
    sigset_t wait_mask = handle_signals();
    int listener = open_listener(path);
    struct stat own;
    stat(path, &own);
    sim::Buf ready;
    ready.add("devd: relaying on ");
    ready.add(path);
    ready.add('\n');
    sim::write_all(1, ready.c_str(), ready.size());
    // Then nothing more: whoever waits for the line may read to the end.
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null_fd, 1);
    close(null_fd);

    std::vector<int> clients;
    std::vector<pollfd> fds;
    while (!stopping) {
        fds.assign(1, {listener, POLLIN, 0});
        for (int fd : clients)
            fds.push_back({fd, POLLIN, 0});
        if (ppoll(fds.data(), fds.size(), nullptr, &wait_mask) == -1)
            continue;
        for (size_t i = 0; i < clients.size(); ++i) {
            if (clients[i] != -1 && fds[i + 1].revents != 0)
                serve_client(clients, i);
        }
        std::erase(clients, -1);
        if (fds[0].revents != 0) {
            int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd != -1)
                clients.push_back(fd);
        }
    }
    for (int fd : clients)
        close(fd);
    close(listener);
    // Only its own socket: a newer stand-in may have taken the path.
    struct stat now;
    if (stat(path, &now) == 0 && now.st_ino == own.st_ino && now.st_dev == own.st_dev)
        unlink(path);
    return 0;
}

// Waits for the stand-in's answer, passing over messages relayed from
// other senders meanwhile, and prints it.
void
await_answer(int fd) {
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, answer_timeout_ms) == 0)
            fail("no answer from the stand-in");
        ssize_t n = recv(fd, packet, sizeof packet - 1, 0);
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0)
            fail("the stand-in closed the connection");
        if (packet[0] != '\0')
            continue;
        packet[n] = '\n';
        sim::write_all(1, packet + 1, static_cast<size_t>(n));
        return;
    }
}

int
send_messages(const char *path, int count, char **messages) {
    if (count == 0)
        fail("usage: devd --send MESSAGE...");
    signal(SIGPIPE, SIG_IGN);
    int fd = connect_to(path);
    if (fd == -1)
        fail(path, ": ", strerror(errno));
    for (int i = 0; i < count; ++i) {
        size_t n = strlen(messages[i]);
        // A zero-length packet reads as the end of the connection.
        if (n == 0)
            fail("an empty message cannot be sent");
        if (send(fd, messages[i], n, MSG_NOSIGNAL) != static_cast<ssize_t>(n))
            fail("send: ", strerror(errno));
        await_answer(fd);
    }
    close(fd);
    return 0;
}

} // namespace

int
main(int argc, char **argv) {
    const char *state = sim::state_dir(tool);
    sim::Buf path;
    path.add(state);
    path.add("/run/devd.seqpacket.pipe");
    if (argc >= 2 && strcmp(argv[1], "--send") == 0)
        return send_messages(path.c_str(), argc - 2, argv + 2);
    if (argc != 1)
        fail("usage: devd | devd --send MESSAGE...");
    return serve(path.c_str());
}
