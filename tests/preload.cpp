// Preloaded into the service by some tests to make a race happen on cue.
//
// HOLD_UNTIL=FILE: lchown, which comes between binding the socket and
// changing its mode, waits until FILE exists, so the test can act on the
// freshly bound socket without racing.
// RAISE_IN_PSELECT=1: the first pselect raises SIGTERM just before the real
// call. A service that leaves the signal open outside its wait runs the
// handler there and then waits forever; one that keeps it blocked sees it
// delivered inside the wait.
// REALTIME_OFFSET=FILE: CLOCK_REALTIME reads as many seconds later as FILE
// says, read anew at every call (none while it is missing), so a test moves
// the wall clock as a suspend does, without sleeping.
// DIR_FSYNC_FAILS=FILE: while FILE exists, fsync of a folder fails with
// EIO, so a test sees that the service syncs the folder at all.

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

extern "C" int
lchown(const char *path, uid_t owner, gid_t group) {
    using call = int (*)(const char *, uid_t, gid_t);
    static auto real = reinterpret_cast<call>(dlsym(RTLD_NEXT, "lchown"));
    if (const char *go = std::getenv("HOLD_UNTIL")) {
        struct stat st;
        for (int waited = 0; waited < 10000 && stat(go, &st) != 0; waited++)
            usleep(1000);
    }
    return real(path, owner, group);
}

extern "C" int
pselect(int n, fd_set *r, fd_set *w, fd_set *e, const timespec *t, const sigset_t *mask) {
    using call = int (*)(int, fd_set *, fd_set *, fd_set *, const timespec *, const sigset_t *);
    static auto real = reinterpret_cast<call>(dlsym(RTLD_NEXT, "pselect"));
    static bool raised = false;
    if (!raised && std::getenv("RAISE_IN_PSELECT") != nullptr) {
        raised = true;
        raise(SIGTERM);
    }
    return real(n, r, w, e, t, mask);
}

extern "C" int
clock_gettime(clockid_t id, timespec *ts) {
    using call = int (*)(clockid_t, timespec *);
    static auto real = reinterpret_cast<call>(dlsym(RTLD_NEXT, "clock_gettime"));
    int rc = real(id, ts);
    const char *file = std::getenv("REALTIME_OFFSET");
    int fd = rc == 0 && id == CLOCK_REALTIME && file != nullptr ? open(file, O_RDONLY) : -1;
    if (fd == -1)
        return rc;
    char text[32] = {};
    if (read(fd, text, sizeof text - 1) > 0)
        ts->tv_sec += std::strtol(text, nullptr, 10);
    close(fd);
    return rc;
}

extern "C" int
fsync(int fd) {
    using call = int (*)(int);
    static auto real = reinterpret_cast<call>(dlsym(RTLD_NEXT, "fsync"));
    const char *file = std::getenv("DIR_FSYNC_FAILS");
    struct stat st;
    if (file != nullptr && access(file, F_OK) == 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EIO;
        return -1;
    }
    return real(fd);
}
