// The two ways the program runs a tool (fork and exec, never a shell), and
// the rule by which a child's outcome is judged.
#pragma once

#include <sys/types.h>

// Both runners execute path (absolute; no search path is used) with argv in
// a child that starts with an empty signal mask and default dispositions for
// the signals the program handles, and that ends with 127 when exec fails.
// They return the child's pid, or -1 when fork fails.

// The child keeps every descriptor of the caller, so the tool's own report
// reaches the caller's standard output and error.
pid_t run_tool(const char *path, char *const argv[]);

// The child closes pipe_fds[0], makes pipe_fds[1] its standard output (127
// if that fails) and keeps no descriptor above 2.
pid_t run_tool_piped(const char *path, char *const argv[], const int pipe_fds[2]);

// Waits for that one child, retrying when interrupted. Returns its wait
// status, or -1 when the wait itself fails.
int wait_child(pid_t pid);

// A child has succeeded only when it exited normally with status 0; the
// core-dump flag is the only bit that may be set.
bool child_succeeded(int status);
