// The connections being served: a fixed table of those reading their
// request line, writing their reply or draining what the client still
// sends. Nothing here waits: every socket is non-blocking and every step
// has a deadline, so a client that is silent, slow or does not read delays
// no other client and nothing else the loop does.
//
// A connection is accepted with the client's credentials. Its line must be
// complete 5 s after accept; at the end of its stream, or when that time is
// up, it is served with what it sent. Its reply then has 5 s from the first
// attempt to write it. Once written, the sending side is shut down at once,
// so the client sees the reply end, and what the client still sends is
// read and discarded until its end of stream or 1 s; only then is the
// connection closed, since on some systems closing a socket with unread
// bytes turns the reply into a reset.
#pragma once

#include "server/peer.hpp"
#include "server/wait_set.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

inline constexpr std::size_t connection_capacity = 32;
// Room for the longest reply, line feeds included: the list of 16 holds,
// each with its reason.
inline constexpr std::size_t outgoing_capacity = 2048;

enum class served : std::uint8_t {
    reply,  // the reply goes out, then the connection closes
    handed, // the reply goes out in one send, which a new connection has
            // room for, and the descriptor is the handler's from then on
};

struct handled {
    served how;
    std::size_t length; // of the reply put into the room
};

// Carries out one request (trimmed, never empty) from the client on fd,
// putting the reply, line feeds included, into room.
using request_handler = handled (*)(int fd, const peer_identity &peer, std::string_view request,
                                    std::span<char> room);

// Adds listen_fd (unless -1: not accepting), every connection, and the
// time until the nearest deadline.
void connections_watch(wait_set &set, int listen_fd);

// Takes each connection one step, oldest first, as the wait found it or as
// its deadline says, serving each request as its line ends; then accepts
// one connection waiting on listen_fd (unless -1) and reads it at once. A
// connection accepted while the table is full is closed without a reply.
void connections_wake(const wait_set &set, int listen_fd, request_handler handler);

// For a connection kept open after its reply (a holder, a watcher): reads
// and discards what the peer sent, never waiting. True once the peer has
// closed its sending side or the connection failed.
bool peer_has_left(int fd);

// How many connections are open.
std::size_t connections_open();
