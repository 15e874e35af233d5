// Whether the laptop is docked, as the kernel tells it: an external display
// connector of the graphics driver that reads "connected", or the ACPI
// dock. Only reads, through sysctl(8); nothing here keeps state or decides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

enum class dock_state : std::uint8_t { unknown, yes, no };

// Connectors beyond this many are not read: no laptop has more.
inline constexpr std::size_t connector_capacity = 16;
// Room for a connector's name ("HDMI-A-1") or "dock" in the log.
inline constexpr std::size_t dock_what_capacity = 32;

struct dock_reading {
    dock_state state;
    char what[dock_what_capacity]; // for yes: the first connector connected, or "dock"
};

// Lists the connectors under both layouts drm-kmod has used, reads the
// status of each external one, then dev.acpi_dock.0.status. yes: an
// external connector reads "connected" or the dock reads 1. no: what could
// be read says otherwise, and something could. unknown: nothing could, or
// the dock reads -1. Every probe is quiet (-q), so a machine without a
// graphics driver or a dock logs nothing.
dock_reading read_dock_state();

// The connector part of a listed name when it is an external connector's
// status: "HDMI-A-1" for "sys.class.drm.card0-HDMI-A-1.status" or
// "sys.device.drmn0.card1.card1-HDMI-A-1.status"; empty for an internal
// panel, a connector that is no display, any other setting, or any other
// name.
std::string_view external_connector(std::string_view name);
