// Stand-in for FreeBSD's apm(8) on the simulated machine, for its one use
// here: "apm -z", whose APMIO_SUSPEND ioctl asks the kernel for the type in
// kern.power.suspend (sys/x86/acpica/acpi_apm.c).  Instead of suspending
// it records the call together with that type in DIR/log/apm, then obeys
// the knobs DIR/knob/apm.{delay,signal,exit}.
#include "tool.h"

#include <string.h>

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
    if (argc != 2 || strcmp(argv[1], "-z") != 0) {
        sim::error("apm", "only -z is simulated");
        return 1;
    }
    return sim::suspend_tool_main("apm", argc, argv, add_suspend_type);
}
