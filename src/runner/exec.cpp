#include "runner/exec.hpp"

#include "runner/retry.hpp"

#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <unistd.h>

static void reset_child_signals();

// Signals whose handling the program changes; a tool must meet them as it
// would from a shell.
static constexpr int handled_signals[] = {SIGTERM, SIGINT, SIGPIPE};

// WCOREFLAG is 0200 on FreeBSD and Linux alike but is not POSIX.
static constexpr int core_flag = 0200;

static void
reset_child_signals() {
    for (int sig : handled_signals)
        signal(sig, SIG_DFL);
    sigset_t empty;
    sigemptyset(&empty);
    sigprocmask(SIG_SETMASK, &empty, nullptr);
}

pid_t
run_tool(const char *path, char *const argv[]) {
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    reset_child_signals();
    execv(path, argv);
    _exit(127);
}

pid_t
run_tool_piped(const char *path, char *const argv[], const int pipe_fds[2]) {
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    reset_child_signals();
    close(pipe_fds[0]);
    if (pipe_fds[1] != STDOUT_FILENO) {
        if (dup2(pipe_fds[1], STDOUT_FILENO) == -1)
            _exit(127);
        // When stdout was closed at start the pipe may already be
        // descriptor 1; closing it then would leave the tool mute.
        close(pipe_fds[1]);
    }
    closefrom(3);
    execv(path, argv);
    _exit(127);
}

int
wait_child(pid_t pid) {
    int status = 0;
    if (retry_interrupted([&] { return waitpid(pid, &status, 0); }) == -1)
        return -1;
    return status;
}

bool
child_succeeded(int status) {
    return (status & ~core_flag) == 0;
}
