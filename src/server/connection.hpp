// The connections being served: a fixed table of those reading their
// request line, writing their reply or draining what the client still
// sends. Nothing here waits: every socket is non-blocking and every step
// has a deadline, so a client that is silent, slow or does not read delays
// no other client and nothing else the loop does.
//
// A connection is accepted with the client's credentials, and only within
// its user's share of the table (below); one beyond it gets "error: too
// many connections" if its socket takes it at once, and is closed. Its
// line must be complete 5 s after accept; at the end of its stream, or
// when that time is up, it is served with what it sent. Its reply then has
// 5 s from the first attempt to write it. Once written, the sending side
// is shut down at once, so the client sees the reply end, and what the
// client still sends is read and discarded, 4 KiB at most, until its end
// of stream or 1 s; only then is the connection closed, since on some
// systems closing a socket with unread bytes turns the reply into a reset.
#pragma once

#include "server/peer.hpp"
#include "server/wait_set.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

inline constexpr std::size_t connection_capacity = 32;
// One user's silent, slow or many clients fill no more than this, so that
// three members at their worst still leave room for a fourth.
inline constexpr std::size_t connection_share = 8;
// No member can take these: root's own requests, the launcher's status and
// stop among them, always find a place.
inline constexpr std::size_t connections_kept_for_root = 4;
// After its request line, a connection kept open (a holder's, a watcher's)
// may send this much in all, and no more: nothing it sends means anything,
// and a stream of it would keep the service awake.
inline constexpr std::size_t kept_send_limit = 256;
// Room for the longest reply, line feeds included: the list of 16 holds,
// each with its reason.
inline constexpr std::size_t outgoing_capacity = 2048;

enum class served : std::uint8_t {
    reply,  // the reply goes out, then the connection closes
    handed, // the reply goes out in one send, which a new connection has
            // room for, and the descriptor is the handler's from then on
};

// A connection kept open after its reply, and how many bytes its peer has
// sent since the request line.
struct kept_connection {
    int fd;
    std::size_t sent;
};

enum class kept_news : std::uint8_t {
    quiet,        // nothing, or no more than kept_send_limit in all
    left,         // the peer closed its sending side, or the connection failed
    kept_sending, // more than kept_send_limit in all
};

struct handled {
    served how;
    std::size_t length; // of the reply put into the room
};

// Carries out one request (trimmed, never empty) from the client on
// conn.fd, putting the reply, line feeds included, into room. conn.sent
// counts the bytes that came after the line in the same read.
using request_handler = handled (*)(kept_connection conn, const peer_identity &peer,
                                    std::string_view request, std::span<char> room);

// Adds listen_fd (unless -1: not accepting), every connection, and the
// time until the nearest deadline.
void connections_watch(wait_set &set, int listen_fd);

// Takes each connection one step, oldest first, as the wait found it or as
// its deadline says, serving each request as its line ends; then accepts
// the connections waiting on listen_fd (unless -1) until none is left, and
// reads each at once. One beyond its user's share, or for which the table
// has no place, is refused as above.
void connections_wake(const wait_set &set, int listen_fd, request_handler handler);

// For a kept connection: reads and discards what the peer sent, never
// waiting, and counts it in conn.sent.
kept_news read_kept(kept_connection &conn);

// How many connections are open.
std::size_t connections_open();
