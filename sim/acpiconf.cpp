// Stand-in for FreeBSD's acpiconf(8) on the simulated machine: it only
// records how it was called (DIR/log/acpiconf) and then obeys the knobs
// DIR/knob/acpiconf.{delay,signal,exit}.
#include "tool.h"

namespace {
const char tool[] = "acpiconf";
}

int
main(int argc, char **argv) {
    const char *state = sim::state_dir(tool);
    sim::log_fds(state, tool);
    sim::apply_delay(tool, state, tool);
    sim::Buf call;
    sim::join_argv(call, argc, argv);
    sim::log_line(state, tool, call);
    sim::apply_signal(tool, state, tool);
    long code = 0;
    if (sim::knob_number(tool, state, tool, "exit", 0, 255, &code)) {
        return static_cast<int>(code);
    }
    return 0;
}
