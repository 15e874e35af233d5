#include "ctl/utility.hpp"

#include "runner/retry.hpp"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <limits.h>
#include <unistd.h>

[[noreturn]] static void exec_utility(char *const utility[], const sigset_t *mask,
                                      const sigset_t *kept_ignored);
static void forward_signal(int sig);
static void ignore_terminal_signals(sigset_t *ignored_before);
static int wait_ended(pid_t pid, int flags, siginfo_t *info);
static int wait_utility(pid_t pid);
static bool runnable(const char *file);

// Statuses in the manner of env(1).
static constexpr int status_failed = 125;
static constexpr int status_not_runnable = 126;
static constexpr int status_not_found = 127;
static constexpr int signal_status_base = 128;
// execvp(3)'s path when PATH is unset: _PATH_DEFPATH in FreeBSD's
// include/paths.h, which lib/libc/gen/exec.c uses.
static constexpr char default_path[] = "/usr/bin:/bin";

static constexpr int forwarded_signals[] = {SIGTERM, SIGHUP};
// Left to the utility alone while it runs, as system(3) does: a Ctrl-C at
// the terminal reaches both, and only the utility should act on it.
static constexpr int terminal_signals[] = {SIGINT, SIGQUIT};

// Back at their defaults in the utility, except a terminal signal that was
// ignored when the client started: as env(1) leaves it, so that nohup(1) or
// a background job keeps its effect.
static constexpr int reset_signals[] = {SIGINT, SIGQUIT, SIGPIPE};

// sig_atomic_t may be wider than pid_t (long on some 64-bit systems).
static volatile std::sig_atomic_t utility_pid = 0;

static void
forward_signal(int sig) {
    if (utility_pid > 0)
        kill(static_cast<pid_t>(utility_pid), sig);
}

void
block_and_catch(std::span<const int> signals, void (*handler)(int), sigset_t *previous) {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int sig : signals)
        sigaddset(&blocked, sig);
    sigprocmask(SIG_BLOCK, &blocked, previous);
    for (int sig : signals) {
        struct sigaction action;
        if (sigaction(sig, nullptr, &action) == -1 || action.sa_handler == SIG_IGN)
            continue;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = handler;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
}

// Ignores the terminal signals, adding those that were ignored already to
// *ignored_before.
static void
ignore_terminal_signals(sigset_t *ignored_before) {
    sigemptyset(ignored_before);
    for (int sig : terminal_signals) {
        struct sigaction before;
        if (sigaction(sig, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            sigaddset(ignored_before, sig);
        signal(sig, SIG_IGN);
    }
}

// A handler the client set becomes the default at exec by itself; the
// terminal signals and SIGPIPE are set back explicitly.
static void
exec_utility(char *const utility[], const sigset_t *mask, const sigset_t *kept_ignored) {
    for (int sig : reset_signals) {
        if (!sigismember(kept_ignored, sig))
            signal(sig, SIG_DFL);
    }
    sigprocmask(SIG_SETMASK, mask, nullptr);
    execvp(utility[0], utility);
    int saved = errno;
    warn("%s", utility[0]);
    _exit(saved == ENOENT ? status_not_found : status_not_runnable);
}

static int
wait_ended(pid_t pid, int flags, siginfo_t *info) {
    int rc = retry_interrupted(
        [&] { return waitid(P_PID, static_cast<id_t>(pid), info, WEXITED | flags); });
    if (rc == -1)
        warn("waitid");
    return rc;
}

// A forwarded signal must never reach a process that takes the pid over.
// So the utility's end is first learnt with WNOWAIT, which leaves it
// unreaped and its pid taken; the pid is forgotten, and only then is the
// utility reaped.
static int
wait_utility(pid_t pid) {
    siginfo_t info;
    if (wait_ended(pid, WNOWAIT, &info) == -1)
        return status_failed;
    utility_pid = 0;
    if (wait_ended(pid, 0, &info) == -1)
        return status_failed;
    // FreeBSD gives the whole value passed to exit; a status keeps 8 bits.
    if (info.si_code == CLD_EXITED)
        return info.si_status & 0xff;
    return signal_status_base + info.si_status;
}

// The forwarded signals stay blocked until the child's pid is known, so
// none that arrives around the fork is lost. SIGCHLD is set to its default
// first: ignored, it would have the kernel reap the utility and its status
// lost.
int
run_utility(char *const utility[]) {
    sigset_t original, ignored_before;
    ignore_terminal_signals(&ignored_before);
    signal(SIGCHLD, SIG_DFL);
    block_and_catch(forwarded_signals, forward_signal, &original);

    pid_t pid = fork();
    if (pid == 0)
        exec_utility(utility, &original, &ignored_before);
    if (pid == -1) {
        warn("fork");
        return status_failed;
    }
    utility_pid = pid;
    sigprocmask(SIG_SETMASK, &original, nullptr);
    return wait_utility(pid);
}

static bool
runnable(const char *file) {
    struct stat st;
    return stat(file, &st) == 0 && S_ISREG(st.st_mode) && access(file, X_OK) == 0;
}

// An empty element of PATH is the current folder, as for execvp(3).
bool
utility_found(const char *utility) {
    if (std::strchr(utility, '/') != nullptr)
        return runnable(utility);
    const char *path = std::getenv("PATH");
    if (path == nullptr)
        path = default_path;
    for (;;) {
        std::size_t length = std::strcspn(path, ":");
        char candidate[PATH_MAX];
        int n = std::snprintf(candidate, sizeof candidate, "%.*s%s%s", static_cast<int>(length),
                              path, length > 0 ? "/" : "", utility);
        if (n > 0 && static_cast<std::size_t>(n) < sizeof candidate && runnable(candidate))
            return true;
        if (path[length] == '\0')
            return false;
        path += length + 1;
    }
}
