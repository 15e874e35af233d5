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
    // The reason first: a kernel without an S0ix type (14, or firmware
    // without one) may not have kern.power.suspend at all.
    if (probe_sleep_types() == -1)
        return -1;
    if (s0ix_stype[0] == '\0') {
        note_missing_sleep_type(s0ix);
        return -1;
    }
    char saved[setting_capacity];
    if (sysctl_read(suspend_setting, saved, sizeof saved) == -1)
        return -1;

    warnx("requesting S0ix (was %s=%s)", suspend_setting, saved);
    if (sysctl_write(suspend_setting, s0ix_stype) == -1)
        return -1;

    // zzz(8) cannot ask for suspend-to-idle: it goes through
    // hw.acpi.suspend_state, which has no S-state for it, and acpiconf -s
    // takes only S1 to S5 (usr.sbin/zzz/zzz.sh). apm -z's APMIO_SUSPEND asks
    // for whatever type kern.power.suspend holds (sys/x86/acpica/acpi_apm.c).
    char tool[] = "apm";
    char flag[] = "-z";
    char *argv[] = {tool, flag, nullptr};
    bool succeeded = false;
    int ran = run_suspend_tool("/usr/sbin/apm", argv, &succeeded);
    // The kernel took the type along with the request, so the old value
    // goes back at once, before the machine sleeps. The suspend's own
    // outcome is what the client needs to hear; a failed restore only gets
    // a warning, since every later suspend request would otherwise be to
    // idle without anyone knowing why.
    if (sysctl_write(suspend_setting, saved) == -1)
        warnx("could not restore %s=%s", suspend_setting, saved);
    if (ran == -1)
        return -1;
    set_reply(reply, succeeded ? "ok" : "error");
    return succeeded ? 0 : -1;
}
