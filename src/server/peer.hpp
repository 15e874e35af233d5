// Who is at the other end of an accepted control connection.
#pragma once

#include "policy/peers.hpp"

// Asks the kernel for the connecting process's uid and pid. Returns 0, or -1
// with errno set.
int peer_of(int conn, peer_identity *peer);
