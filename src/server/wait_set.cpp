#include "server/wait_set.hpp"

#include "runner/clock.hpp"

static void add(fd_set *fds, int *top, int fd);

static void
add(fd_set *fds, int *top, int fd) {
    if (fd == -1)
        return;
    FD_SET(fd, fds);
    *top = fd > *top ? fd : *top;
}

void
wait_set_clear(wait_set &set) {
    FD_ZERO(&set.readable);
    FD_ZERO(&set.writable);
    set.top = -1;
    set.timed = false;
    set.left = {};
}

void
watch_readable(wait_set &set, int fd) {
    add(&set.readable, &set.top, fd);
}

void
watch_writable(wait_set &set, int fd) {
    add(&set.writable, &set.top, fd);
}

void
watch_time(wait_set &set, const timespec &left) {
    if (!set.timed || nanoseconds_until(left, set.left) < 0)
        set.left = left;
    set.timed = true;
}

int
wait_for_any(wait_set &set, const sigset_t *mask) {
    int rc = pselect(set.top + 1, &set.readable, &set.writable, nullptr,
                     set.timed ? &set.left : nullptr, mask);
    if (rc == -1) {
        FD_ZERO(&set.readable);
        FD_ZERO(&set.writable);
    }
    return rc;
}

bool
is_readable(const wait_set &set, int fd) {
    return fd != -1 && FD_ISSET(fd, &set.readable);
}

bool
is_writable(const wait_set &set, int fd) {
    return fd != -1 && FD_ISSET(fd, &set.writable);
}
