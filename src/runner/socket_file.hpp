// The control socket's file: its address, what lies at its path, the safety
// of its directory, and removing it only while it is still the one this
// process made; and the lock file that makes one service per machine.
// Shared by the service and by "status" and "stop".
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <cstddef>

// FreeBSD's sun_path size; used everywhere so a path that works here works there.
inline constexpr std::size_t socket_path_capacity = 104;

// Fills addr for path. Returns the address length to pass to bind or
// connect, or 0 when the path does not fit socket_path_capacity.
socklen_t make_socket_address(const char *path, sockaddr_un &addr);

enum class path_state {
    vacant,    // nothing there, or something that is neither a socket nor a link
    stale,     // a socket nobody listens on, or a link to nothing of use
    answering, // somebody may be serving there; leave it alone
};

// One non-blocking connect to addr. Returns 0 when it is taken, else the
// errno it failed with.
int try_connect(const sockaddr_un &addr, socklen_t length);

// Looks at path with lstat and, for a socket or a symbolic link, one
// non-blocking connect. Only a refused connection, a dangling link or a
// link to something that is not a socket counts as stale; any other
// outcome, a permission error included, counts as answering.
path_state probe_socket_path(const char *path);

// The folder that holds path: "/" for a top-level name, "." for a bare one.
// Returns -1 when it would not fit dir's capacity.
int socket_directory(const char *path, char *dir, std::size_t capacity);

// Remembers the device and inode now at path, as made by bind.
int record_own_socket(const char *path);

// Removes path only while it still has the recorded device and inode, so a
// file that another service or a person put there since is left alone.
void remove_own_socket(const char *path);

// Opens path (created 0600 and root's, never through a link, close-on-exec)
// and takes a write lock on the whole file with F_SETLK. A file with
// another owner or other rights, or one kept from being locked by a read
// lock alone, is removed and created anew first. The lock lasts as long as
// the process: the file stays open and is never removed, and the process
// must not open and close path again, as closing any descriptor of it
// would drop the lock. Returns 0 when it is taken; 1 when another process
// holds a write lock, with *holder set to the pid that F_GETLK gives
// (below 2 when that process cannot be seen from here); -1 with errno on
// any other failure.
int take_service_lock(const char *path, pid_t *holder);

// Asks with F_GETLK whether a process holds a write lock on path. Returns
// true with *holder set to its pid as F_GETLK gives it, which may be below
// 2; false when nobody does or the file cannot be opened (by anyone but
// root, since it is root's alone).
bool find_service_lock(const char *path, pid_t *holder);
