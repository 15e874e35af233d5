// What a message from devd means. The parser is pure: it reads only the
// bytes it is given, so the link that receives them lives in server/.
//
// A message means an event only when, after one trailing line feed is
// stripped, it is "!" and then words separated by single spaces, each a
// key=value with a key of at least one byte (the value is what follows the
// first "="; it may be empty). An empty word, a word without "=" or with an
// empty key, or one of the keys system, subsystem, type and notify given
// twice (so the meaning would depend on which one counts) makes the whole
// message not parse. Other keys may repeat. Keys and values compare whole
// and case-sensitively:
//   system=ACPI subsystem=Lid   notify=0x00 lid_closed, any other notify
//                               (present, whatever its value) lid_opened
//   system=ACPI subsystem=ACAD  notify=0x00 on_battery, notify=0x01 on_ac
//   system=ACPI subsystem=CMBAT with any notify, or none: battery_changed
//   system=ACPI subsystem=Thermal with any notify, or none: thermal
//   system=ACPI subsystem=Dock with any notify, or none: dock_changed
//   system=DRM subsystem=CONNECTOR type=HOTPLUG: display_changed (the
//   graphics drivers send it, with or without connector=, on every change
//   of a connector or of its properties, and never say what changed)
//   system=ACPI subsystem=Resume, or system=kernel subsystem=power
//   type=resume (the kernel's own, since 14; system=kern before): resumed.
//   Anything else is none.
// The lid driver passes the firmware's _LID value on as the notify, and
// firmware may report open as any value but zero.
#pragma once

#include <cstdint>
#include <string_view>

enum class devd_event : std::uint8_t {
    none,
    lid_closed,
    lid_opened,
    on_battery,
    on_ac,
    resumed,
    battery_changed,
    thermal,
    dock_changed,
    display_changed,
};

devd_event parse_devd_event(std::string_view message);
