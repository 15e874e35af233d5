#include "lid/display.hpp"

#include "runner/sysctl.hpp"
#include "runner/text.hpp"

#include <cstring>

static bool is_card_number(std::string_view text);
static bool names_no_external_display(std::string_view connector);
static void take_listed(const char *line, void *context);
static int read_connector(const char *name);
static int read_dock();

// drm-kmod names each connector's folder "cardN-CONNECTOR": under
// sys.class.drm in older releases, and under sys.device.drmnN.cardN since
// it mirrored Linux's sysfs devices. Only the status is read: "enabled"
// and "dpms" change when a screen blanks, which is no undocking, and
// "modes" and "edid" are long texts the decision does not need.
static constexpr const char *connector_lists[] = {"sys.class.drm", "sys.device"};
static constexpr std::string_view status_suffix = ".status";
// Built-in panels, and connectors that drive no display at all.
static constexpr std::string_view not_external[] = {"eDP-", "LVDS-", "DSI-", "Writeback-",
                                                    "Virtual-"};
static constexpr char dock_setting[] = "dev.acpi_dock.0.status";

// The status names found, in the order listed.
struct connector_list {
    char name[connector_capacity][sysctl_name_capacity];
    std::size_t count;
};

static bool
is_card_number(std::string_view text) {
    if (text_head(text, 4) != "card" || text.size() == 4)
        return false;
    for (char c : text_tail(text, 4)) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

static bool
names_no_external_display(std::string_view connector) {
    for (std::string_view prefix : not_external) {
        if (text_head(connector, prefix.size()) == prefix)
            return true;
    }
    return false;
}

std::string_view
external_connector(std::string_view name) {
    // string_view's own starts_with and ends_with may throw at -O0, which
    // would bring in the C++ runtime; the text helpers never do.
    if (name.size() < status_suffix.size() ||
        text_tail(name, name.size() - status_suffix.size()) != status_suffix)
        return {};
    name.remove_suffix(status_suffix.size());
    std::size_t dot = name.rfind('.');
    std::string_view folder = dot == std::string_view::npos ? name : text_tail(name, dot + 1);
    std::size_t dash = folder.find('-');
    if (dash == std::string_view::npos || !is_card_number(text_head(folder, dash)))
        return {};
    std::string_view connector = text_tail(folder, dash + 1);
    if (connector.empty() || names_no_external_display(connector))
        return {};
    return connector;
}

static void
take_listed(const char *line, void *context) {
    auto *list = static_cast<connector_list *>(context);
    if (list->count == connector_capacity || external_connector(line).empty())
        return;
    (void)copy_text(list->name[list->count++], sysctl_name_capacity, line);
}

// 1 connected, 0 disconnected, -1 unreadable or "unknown".
static int
read_connector(const char *name) {
    char value[setting_capacity];
    if (sysctl_probe(name, value, sizeof value) == -1)
        return -1;
    if (std::strcmp(value, "connected") == 0)
        return 1;
    return std::strcmp(value, "disconnected") == 0 ? 0 : -1;
}

// 1 docked, 0 not, -1 unknown (as the driver reports it while it cannot
// tell), -2 no dock. The setting is writable and writing 0 undocks
// (sys/dev/acpica/acpi_dock.c), so it is only ever read.
static int
read_dock() {
    char value[setting_capacity];
    if (sysctl_probe(dock_setting, value, sizeof value) == -1)
        return -2;
    if (std::strcmp(value, "1") == 0 || std::strcmp(value, "0") == 0)
        return value[0] - '0';
    return -1;
}

dock_reading
read_dock_state() {
    connector_list list = {};
    for (const char *prefix : connector_lists)
        (void)sysctl_list(prefix, take_listed, &list);
    dock_reading reading = {dock_state::unknown, ""};
    bool any_read = false;
    for (std::size_t i = 0; i < list.count && reading.state != dock_state::yes; i++) {
        int status = read_connector(list.name[i]);
        any_read |= status != -1;
        if (status == 1) {
            reading.state = dock_state::yes;
            std::string_view connector = external_connector(list.name[i]);
            (void)copy_text(reading.what, sizeof reading.what, connector);
        }
    }
    if (reading.state == dock_state::yes)
        return reading;
    int dock = read_dock();
    if (dock == 1) {
        reading.state = dock_state::yes;
        (void)copy_text(reading.what, sizeof reading.what, "dock");
    } else if (dock != -1 && (any_read || dock == 0)) {
        reading.state = dock_state::no;
    }
    return reading;
}
