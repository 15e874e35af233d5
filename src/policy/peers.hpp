// Who sent a request, the rule by which every table of the service shares
// its places among users, and the handle of a connection kept open for a
// user after its reply (a holder's, a watcher's).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// The uid and pid the kernel gave for the process at the other end of a
// request's connection, as the holds and the log record them.
struct peer_identity {
    uid_t uid;
    pid_t pid;
};

// A table's places: root may take any free one; each other user at most
// per_uid, and all other users together never the last kept_for_root.
struct table_share {
    std::size_t capacity;
    std::size_t per_uid;
    std::size_t kept_for_root;
};

enum class share_verdict : std::uint8_t { granted, over_share, full };

// Whether uid may take one more place in a table of in_use places taken,
// the uid of each given by uid_at(0 .. in_use - 1). over_share: uid holds
// its share; full: no place is left that uid may take.
share_verdict share_for(const table_share &share, uid_t uid, std::size_t in_use,
                        uid_t (*uid_at)(std::size_t index));

// A connection kept open after its reply, and how many bytes its peer has
// sent since the request line. Only the server reads, writes or closes it
// (server/connection.hpp); the holds keep it as a handle.
struct kept_connection {
    int fd;
    std::size_t sent;
};
