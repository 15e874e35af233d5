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
