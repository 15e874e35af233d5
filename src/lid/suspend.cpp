#include "lid/suspend.hpp"

#include "runner/exec.hpp"
#include "runner/sysctl.hpp"

#include <err.h>

static int run_suspend_tool(const char *path, char *const argv[], bool *succeeded);

static constexpr char suspend_setting[] = "kern.power.suspend";

// Runs the tool and waits for it. Returns -1 when it could not be started
// or waited for; otherwise 0, with *succeeded telling its outcome.
static int
run_suspend_tool(const char *path, char *const argv[], bool *succeeded) {
    pid_t pid = run_tool(path, argv);
    if (pid == -1)
        return -1;
    int status = wait_child(pid);
    if (status == -1)
        return -1;
    *succeeded = child_succeeded(status);
    return 0;
}

int
suspend_s3(reply_text &reply) {
    char tool[] = "acpiconf";
    char flag[] = "-s";
    char state[] = "3";
    char *argv[] = {tool, flag, state, nullptr};

    warnx("requesting S3 (acpiconf -s 3)");
    bool succeeded = false;
    if (run_suspend_tool("/usr/sbin/acpiconf", argv, &succeeded) == -1)
        return -1;
    set_reply(reply, succeeded ? "ok" : "error");
    return succeeded ? 0 : -1;
}

int
suspend_s0ix(reply_text &reply) {
    char saved[setting_capacity];
    if (sysctl_read(suspend_setting, saved, sizeof saved) == -1)
        return -1;
    if (probe_sleep_types() == -1 || s0ix_stype[0] == '\0')
        return -1;

    warnx("requesting S0ix (was %s=%s)", suspend_setting, saved);
    if (sysctl_write(suspend_setting, s0ix_stype) == -1)
        return -1;

    char tool[] = "zzz";
    char *argv[] = {tool, nullptr};
    bool succeeded = false;
    int ran = run_suspend_tool("/usr/sbin/zzz", argv, &succeeded);
    // The suspend's own outcome is what the client needs to hear; a failed
    // restore only gets a warning, since every later zzz would otherwise
    // suspend to idle without anyone knowing why.
    if (sysctl_write(suspend_setting, saved) == -1)
        warnx("could not restore %s=%s", suspend_setting, saved);
    if (ran == -1)
        return -1;
    set_reply(reply, succeeded ? "ok" : "error");
    return succeeded ? 0 : -1;
}
