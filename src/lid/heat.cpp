#include "lid/heat.hpp"

#include "runner/sysctl.hpp"

#include <charconv>
#include <cstddef>
#include <cstdio>
#include <cstring>

// The thermal driver numbers its zones from 0 without gaps
// (sys/dev/acpica/acpi_thermal.c); more than this is not seen on laptops.
static constexpr std::size_t zone_capacity = 8;
static constexpr std::size_t sensor_capacity = zone_capacity + 1;
static constexpr char cpu_sensor[] = "dev.cpu.0.temperature";
// Far above any value a sensor may report, so that a reading fits.
static constexpr int highest_heat = 1000;

// Owned here: the names found at start.
static struct {
    char names[sensor_capacity][sysctl_name_capacity];
    std::size_t count;
} sensors = {};

static void
add_sensor(const char *name) {
    std::snprintf(sensors.names[sensors.count], sizeof sensors.names[0], "%s", name);
    sensors.count++;
}

void
probe_heat_sensors() {
    sensors.count = 0;
    char name[sysctl_name_capacity];
    for (std::size_t zone = 0; zone < zone_capacity; zone++) {
        std::snprintf(name, sizeof name, "hw.acpi.thermal.tz%zu.temperature", zone);
        if (!sysctl_exists(name))
            break;
        add_sensor(name);
    }
    if (sysctl_exists(cpu_sensor))
        add_sensor(cpu_sensor);
}

int
parse_heat(const char *text) {
    const char *end = text + std::strlen(text);
    int value = heat_unknown;
    auto [next, ec] = std::from_chars(text, end, value);
    if (ec != std::errc{} || text[0] == '-' || value > highest_heat)
        return heat_unknown;
    if (*next == '.') {
        const char *digits = ++next;
        while (*next >= '0' && *next <= '9')
            next++;
        if (next == digits)
            return heat_unknown;
    }
    return next[0] == 'C' && next[1] == '\0' ? value : heat_unknown;
}

int
read_heat() {
    int highest = heat_unknown;
    for (std::size_t i = 0; i < sensors.count; i++) {
        char value[setting_capacity];
        if (sysctl_probe(sensors.names[i], value, sizeof value) == -1)
            continue;
        int heat = parse_heat(value);
        if (heat > highest)
            highest = heat;
    }
    return highest;
}
