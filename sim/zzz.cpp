// Stand-in for FreeBSD's zzz(8) on the simulated machine.  Instead of
// suspending it records the call together with the suspend type the kernel
// would have used (kern.power.suspend at that moment) in DIR/log/zzz, then
// obeys the knobs DIR/knob/zzz.{delay,signal,exit}.
#include "tool.h"

namespace {
const char tool[] = "zzz";
}

int
main(int argc, char **argv) {
    const char *state = sim::state_dir(tool);
    sim::log_fds(state, tool);
    sim::apply_delay(tool, state, tool);
    sim::Buf call;
    sim::join_argv(call, argc, argv);
    call.add("\tkern.power.suspend=");
    sim::Buf path;
    path.add(state);
    path.add("/sysctl/kern.power.suspend");
    // A missing setting is recorded as an empty value.
    sim::read_file(path.c_str(), call);
    sim::log_line(state, tool, call);
    sim::apply_signal(tool, state, tool);
    long code = 0;
    if (sim::knob_number(tool, state, tool, "exit", 0, 255, &code)) {
        return static_cast<int>(code);
    }
    return 0;
}
