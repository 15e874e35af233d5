// The one fork/exec path for every tool the program runs, and the rule by
// which a child's outcome is judged.
#pragma once

#include <sys/types.h>

// Forks and executes path with argv (path is absolute; no search path is
// used). The child starts with an empty signal mask and default dispositions
// for the signals the program handles, and ends with 127 when exec fails.
// With pipe_fds null the child keeps every descriptor of the parent; else it
// closes pipe_fds[0], makes pipe_fds[1] its standard output (127 if that
// fails) and closes every descriptor from 3 up. Returns the child's pid, or
// -1 when fork fails.
pid_t spawn_child(const char *path, char *const argv[], const int *pipe_fds);

// Waits for that one child, retrying when interrupted. Returns its wait
// status, or -1 when the wait itself fails.
int wait_child(pid_t pid);

// A child has succeeded only when it exited normally with status 0; the
// core-dump flag is the only bit that may be set.
bool child_succeeded(int status);
