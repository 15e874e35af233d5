#include "server/peer.hpp"

#include <sys/socket.h>
#include <sys/types.h>
#if defined(__FreeBSD__)
#include <sys/ucred.h>
#include <sys/un.h>
#endif

#include <cerrno>

// The two systems name the same fact differently: FreeBSD hands out a
// versioned struct xucred through LOCAL_PEERCRED, Linux a struct ucred
// through SO_PEERCRED. Both describe the process as it was at connect time.
int
peer_of(int conn, peer_identity *peer) {
#if defined(__FreeBSD__)
    xucred cred;
    socklen_t length = sizeof cred;
    if (getsockopt(conn, SOL_LOCAL, LOCAL_PEERCRED, &cred, &length) == -1)
        return -1;
    if (cred.cr_version != XUCRED_VERSION) {
        errno = EINVAL;
        return -1;
    }
    peer->uid = cred.cr_uid;
    peer->pid = cred.cr_pid;
#else
    ucred cred;
    socklen_t length = sizeof cred;
    if (getsockopt(conn, SOL_SOCKET, SO_PEERCRED, &cred, &length) == -1)
        return -1;
    peer->uid = cred.uid;
    peer->pid = cred.pid;
#endif
    return 0;
}

share_verdict
share_for(const table_share &share, uid_t uid, std::size_t in_use,
          uid_t (*uid_at)(std::size_t index)) {
    if (in_use >= share.capacity)
        return share_verdict::full;
    if (uid == 0)
        return share_verdict::granted;
    std::size_t of_uid = 0, of_members = 0;
    for (std::size_t i = 0; i < in_use; i++) {
        uid_t taker = uid_at(i);
        of_uid += taker == uid;
        of_members += taker != 0;
    }
    if (of_uid >= share.per_uid)
        return share_verdict::over_share;
    if (of_members >= share.capacity - share.kept_for_root)
        return share_verdict::full;
    return share_verdict::granted;
}
