#include "runner/location.hpp"

#include <cstdlib>

const char *socket_path = "/var/run/vantrel.sock";
const char *group_name = "vantrel";

static const char *nonempty_env(const char *variable);

static const char *
nonempty_env(const char *variable) {
    const char *value = std::getenv(variable);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

void
load_location_settings() {
    if (const char *value = nonempty_env("vantrel_socket"))
        socket_path = value;
    if (const char *value = nonempty_env("vantrel_group"))
        group_name = value;
}
