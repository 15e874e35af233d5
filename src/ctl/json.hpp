// Status-bar forms of the service's state line (key=value fields, one
// space apart): a JSON object of the fields, or a waybar object. The line
// comes from the service and is never trusted: every key and value is
// escaped, and every byte outside printable ASCII becomes \u00XX.
#pragma once

#include <cstddef>

// Room for either form of any line under 256 bytes: a byte takes at most 6
// escaped, and the waybar form holds the line twice.
inline constexpr std::size_t json_capacity = 4096;

// Write the form of line (zero-terminated, without its line feed) and a
// line feed into out (json_capacity bytes). Each returns the length, or 0
// when the line is not a series of key=value fields with non-empty keys.
std::size_t state_json(const char *line, char *out);
std::size_t waybar_json(const char *line, char *out);

// The waybar object for a service that cannot be reached.
std::size_t waybar_down(char *out);
