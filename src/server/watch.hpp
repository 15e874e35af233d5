// The state line, and watchers: connections that asked for "watch" and get
// that line at once and again after every pass of the loop that changed
// it. The line is built only from what the service last wrote, read or
// learned, so keeping watchers up to date runs no tool, and watchers that
// have nothing to be told cost no wake-up.
#pragma once

#include "lid/lid.hpp"
#include "server/connection.hpp"

#include <sys/types.h>

#include <cstddef>

inline constexpr std::size_t watcher_capacity = 16;
// A status bar on each of three screens and one more client.
inline constexpr std::size_t watcher_share = 4;
// No member can take these: root's own status bar always finds a place.
inline constexpr std::size_t watchers_kept_for_root = 2;

// "action=VALUE mode=s0ix|s3 toggle=TYPE|none holds=N saved=VALUE|none"
// and then the "power" line, from the values last seen; runs no tool.
void format_state_line(reply_text &line);

// The "state" request: reads the lid action now, then builds the line.
// Returns 0, or -1 with "error" in the reply when the read failed.
int state_reply(reply_text &reply);

// Takes connection conn of uid as a watcher, within uid's share of the
// watchers, and sends it the line at once. Returns 0 when conn.fd belongs
// to the watchers from now on (even if it was dropped at once), or -1 with
// the refusal in the reply; conn.fd then stays the caller's.
int begin_watch(kept_connection conn, uid_t uid, reply_text &reply);

// The watchers' connections, for the loop's wait: count and descriptor by
// index.
std::size_t watcher_count();
int watcher_connection(std::size_t index);

// The watcher at index is readable: what it sent is read and discarded,
// and it is forgotten once it has closed or has sent more than
// kept_send_limit after its request (and is then closed); the last watcher
// then takes its index, so callers walk the watchers from the last one.
void watcher_readable(std::size_t index);

// Once at the end of every pass of the loop: sends the line to each
// watcher whose last line differs. A watcher whose socket would block is
// closed at once, so none can delay the others or the service.
void publish_state();
