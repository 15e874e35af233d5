// The small files in /var/run that carry the service's memory across a
// crash. Each is replaced whole, and a replacement or removal is made
// durable by syncing the folder too, so a power loss right after cannot
// bring back a file that was replaced or removed.
#pragma once

#include <cstddef>

// Writes text to new_path, syncs it, renames it over path and syncs the
// folder. Returns 0, or -1 (warned about) with the old file as it was.
int replace_state_file(const char *path, const char *new_path, const char *text,
                       std::size_t length);

// The same for value and a line end, as every one-value file is kept;
// value must be shorter than setting_capacity (-1 otherwise, nothing done).
int replace_state_line(const char *path, const char *new_path, const char *value);

// Removes path and syncs the folder; a path already gone is no failure.
void remove_state_file(const char *path);

// Reads what path holds into text (zero-terminated, line ends trimmed).
// Returns -1 when there is no such file.
int read_state_file(const char *path, char *text, std::size_t capacity);
