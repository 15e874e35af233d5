// Who is at the other end of an accepted control connection, and the rule
// by which every table of the service shares its places among users.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

struct peer_identity {
    uid_t uid;
    pid_t pid;
};

// Asks the kernel for the connecting process's uid and pid. Returns 0, or -1
// with errno set.
int peer_of(int conn, peer_identity *peer);

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
