// Stand-in for FreeBSD's zzz(8) on the simulated machine.  Instead of
// suspending it records the call together with the suspend type the kernel
// would have used (kern.power.suspend at that moment) in DIR/log/zzz, then
// obeys the knobs DIR/knob/zzz.{delay,signal,exit}.
#include "tool.h"

namespace {

void
add_suspend_type(const char *state, sim::Buf &call) {
    call.add("\tkern.power.suspend=");
    sim::Buf path;
    path.add(state);
    path.add("/sysctl/kern.power.suspend");
    // A missing setting is recorded as an empty value.
    sim::read_file(path.c_str(), call);
}

} // namespace

int
main(int argc, char **argv) {
    return sim::suspend_tool_main("zzz", argc, argv, add_suspend_type);
}
