// Stand-in for FreeBSD's acpiconf(8) on the simulated machine: it only
// records how it was called (DIR/log/acpiconf) and then obeys the knobs
// DIR/knob/acpiconf.{delay,signal,exit}.
#include "tool.h"

int
main(int argc, char **argv) {
    return sim::suspend_tool_main("acpiconf", argc, argv, nullptr);
}
