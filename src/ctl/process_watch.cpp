#include "ctl/process_watch.hpp"

#if defined(__linux__)
#include <sys/syscall.h>
#else
#include <sys/event.h>
#endif

#include <cstdint>
#include <unistd.h>

// FreeBSD tells a kqueue of a process's end (EVFILT_PROC, NOTE_EXIT, which
// also fires at once for a process that has ended but is not yet reaped),
// and a kqueue with an event pending reads as ready to select. Linux has
// no such filter but gives a process descriptor that reads as ready once
// the process has ended. Either way the caller waits on one descriptor
// beside its others, and nothing polls.
int
watch_process(pid_t pid) {
#if defined(__linux__)
    // glibc before 2.36 has no wrapper for it.
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    int kq = kqueue();
    if (kq == -1)
        return -1;
    struct kevent change;
    EV_SET(&change, static_cast<std::uintptr_t>(pid), EVFILT_PROC, EV_ADD, NOTE_EXIT, 0, nullptr);
    if (kevent(kq, &change, 1, nullptr, 0, nullptr) == -1) {
        close(kq);
        return -1;
    }
    return kq;
#endif
}
