// Stand-in for FreeBSD's zzz(8) on the simulated machine, doing what
// usr.sbin/zzz/zzz.sh does: it reads hw.acpi.suspend_state, and runs
// "acpiconf -s STATE" only when hw.acpi.supported_sleep_state contains it
// (as grep finds it: anywhere in the list); otherwise it says so and
// exits 1.  So it refuses while kern.power.suspend is a type without an
// S-state, such as suspend-to-idle.  Without hw.acpi.suspend_state it
// runs "apm -z" where machdep.apm_suspend_delay exists.  Each call is
// recorded in DIR/log/zzz with kern.power.suspend as it was.
#include "tool.h"

#include <string.h>
#include <unistd.h>

namespace {

const char tool[] = "zzz";

[[noreturn]] void
run(const char *path, char *const argv[]) {
    execv(path, argv);
    sim::error(tool, "cannot run ", path);
    _exit(1);
}

void
print(const char *text) {
    sim::write_all(1, text, strlen(text));
}

} // namespace

int
main(int argc, char **argv) {
    const char *state = sim::state_dir(tool);
    sim::log_fds(state, tool);
    sim::Buf call;
    sim::join_argv(call, argc, argv);
    call.add("\tkern.power.suspend=");
    sim::setting_value(state, "kern.power.suspend", call);
    sim::log_line(state, tool, call);

    sim::Buf wanted;
    if (sim::setting_value(state, "hw.acpi.suspend_state", wanted) == 0) {
        sim::Buf supported;
        sim::setting_value(state, "hw.acpi.supported_sleep_state", supported);
        if (wanted.size() > 0 && strstr(supported.c_str(), wanted.c_str()) != nullptr) {
            char acpiconf[] = "acpiconf";
            char flag[] = "-s";
            char *args[] = {acpiconf, flag, const_cast<char *>(wanted.c_str()), nullptr};
            run("/usr/sbin/acpiconf", args);
        }
        print("Requested suspend state ");
        print(wanted.c_str());
        print(" is not supported.  Supported states: ");
        print(supported.c_str());
        print("\n");
        return 1;
    }
    sim::Buf delay;
    if (sim::setting_value(state, "machdep.apm_suspend_delay", delay) == 0) {
        char apm[] = "apm";
        char flag[] = "-z";
        char *args[] = {apm, flag, nullptr};
        run("/usr/sbin/apm", args);
    }
    print("Error: no ACPI or APM suspend support found.\n");
    return 1;
}
