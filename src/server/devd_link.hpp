// The link to devd's event socket: connecting to it and retrying after a
// loss, taking one message at a time without ever blocking, and handing
// each event to the follower (policy/follow.hpp), which decides what it
// means.
#pragma once

#include "policy/devd_event.hpp"
#include "server/wait_set.hpp"

#include <cstddef>
#include <cstdint>
#include <ctime>

inline constexpr char devd_socket_path[] = "/var/run/devd.seqpacket.pipe";
// devd sends one event per message; a longer message is ignored whole,
// never taken as the start of another (devd_judge_read).
inline constexpr std::size_t devd_message_capacity = 1024;
inline constexpr unsigned devd_retry_cap_seconds = 60;

enum class devd_status : std::uint8_t {
    message, // one message was taken; its event may be none
    closed,  // the connection ended or failed: close the descriptor
    nothing, // nothing to read now (or interrupted): wait again
};

struct devd_received {
    devd_status status;
    devd_event event;
};

// What one read of length bytes, with recvmsg's flags, means. 14 and Linux
// cut a longer record to the buffer and set MSG_TRUNC. 15 hands it over in
// pieces, each filling the buffer, and only the last carries MSG_EOR
// (marked_ends); a read that fills the buffer without MSG_EOR then starts
// a discard that lasts until a read with MSG_EOR. A short read without
// MSG_EOR is a whole record wherever ends are not marked, so it ends a
// discard and is taken. Pure: the caller keeps discarding.
struct devd_verdict {
    bool take;       // the read is one whole message
    bool discarding; // the reads that follow belong to a record too long
};
devd_verdict devd_judge_read(bool discarding, std::size_t length, int flags, bool marked_ends);

// A close-on-exec, non-blocking SOCK_SEQPACKET socket connected to
// devd_socket_path, or -1 with errno set. Non-blocking, so that a devd whose
// queue of new clients is full refuses at once instead of holding the loop.
int devd_connect();

// Takes at most one message with recvmsg, never waiting. A message longer
// than devd_message_capacity is taken and gives none, however many reads
// it takes (devd_judge_read). A
// zero-length read is taken as the end of the connection, as it cannot be
// told apart from one.
devd_received devd_receive(int fd);

// The wait before the next connection attempt, given the one before it:
// 0 (connected, or never failed) gives 1, then 2, 4 ... up to
// devd_retry_cap_seconds. The caller sets it back to 0 after a successful
// connection; a delay of 0 before a failure thus marks a fresh loss.
unsigned devd_next_delay(unsigned previous);

// At start, before the service listens: loads the follower's settings and,
// when there is something to follow, connects to devd and lets the
// follower read the source and the lid and apply the source's setting.
void devd_link_start();

// devd's descriptor for the loop's wait, or -1.
int devd_link_descriptor();

// Time until the next attempt to reach devd, for the loop's wait; false
// when none is due (connected, or nothing to follow).
bool devd_link_time_to_retry(timespec *left);

// After every wake: takes devd's event when its descriptor is readable, or
// tries to connect when a retry is due.
void devd_link_wake(const wait_set &set);

// A hold began: the service follows devd from now on, so it connects at
// once unless a retry is already under way.
void devd_link_hold_began();
