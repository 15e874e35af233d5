// The sleep mode setting needs the lid code, which the client does not link.
#include "cli/settings.hpp"

#include "lid/lid.hpp"

#include <cstdlib>
#include <cstring>
#include <err.h>

int
parse_switch_state(const char *value) {
    if (value == nullptr || value[0] == '\0' || std::strcmp(value, "s0ix") == 0)
        return s0ix;
    if (std::strcmp(value, "s3") == 0)
        return s3;
    return -1;
}

void
load_switch_state() {
    const char *value = std::getenv("vantrel_switch_state");
    int mode = parse_switch_state(value);
    // Only a mode nobody named may follow the kernel; an explicit or
    // invalid value stays s0ix and fails where S0ix is missing.
    switch_mode_by_default = value == nullptr || value[0] == '\0';
    if (mode == -1) {
        warnx("invalid vantrel_switch_state=%s; using s0ix", value);
        mode = s0ix;
    }
    switch_mode = static_cast<std::uint8_t>(mode);
}
