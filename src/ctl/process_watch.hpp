// Waiting for the end of a process that need not be the client's child.
#pragma once

#include <sys/types.h>

// Returns a descriptor that select(2) finds readable once process pid has
// ended, or -1 when there is no such process or the client may not watch it.
int watch_process(pid_t pid);
