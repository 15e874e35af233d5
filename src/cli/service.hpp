// Reporting on and stopping the background service. Root finds it through
// the lock it holds on its lock file; anyone else, who may not open that
// file, through its socket, and may not stop it. The pid file that its
// launcher writes is only removed. Both exit 0.
#pragma once

#include <cstddef>

// Parses the pid file's first item: a decimal integer after optional white
// space, anything after it ignored. Returns -1 when there is none or when it
// does not fit a process id.
int parse_pid(const char *text, std::size_t length);

// Reads the pid file. Returns the pid or -1; *opened tells whether the file
// could be opened at all.
int read_pid_file(bool *opened);

[[noreturn]] void service_status();
[[noreturn]] void service_stop();
