// Who sent a request: the uid and pid the kernel gave for the process at
// the other end of its connection, as the holds and the log record them.
#pragma once

#include <sys/types.h>

struct peer_identity {
    uid_t uid;
    pid_t pid;
};
