// The loop's one wait. Before it, each owner (the connections, the holds,
// the link to devd) adds the descriptors it waits on and the time until
// its nearest deadline; after it, each asks which of its descriptors are
// ready. A new owner slots in with a call of each kind in the loop.
#pragma once

#include <sys/select.h>

#include <csignal>
#include <ctime>

struct wait_set {
    fd_set readable;
    fd_set writable;
    int top;       // the highest descriptor added; -1 while none is
    bool timed;    // a time has been added
    timespec left; // the shortest time added
};

// Empties the set: no descriptor, no time.
void wait_set_clear(wait_set &set);

// Adds fd to be watched for reading, or for writing; -1 is ignored.
void watch_readable(wait_set &set, int fd);
void watch_writable(wait_set &set, int fd);

// The wait lasts at most left (relative); the shortest time added wins.
void watch_time(wait_set &set, const timespec &left);

// Waits with pselect, mask in force while it waits. Returns its result;
// after a failure, a signal's included, no descriptor reads as ready.
int wait_for_any(wait_set &set, const sigset_t *mask);

// After the wait: fd was added and is ready; false for -1.
bool is_readable(const wait_set &set, int fd);
bool is_writable(const wait_set &set, int fd);
