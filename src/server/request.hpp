// Collecting one request line from a connection, and sending a reply that
// cannot hold the sender. The reading itself is handed in, so the same rules
// serve a socket and an in-memory stream.
#pragma once

#include <cstddef>
#include <ctime>
#include <string_view>
#include <sys/types.h>

inline constexpr std::size_t request_capacity = 256;

// Reads at most max bytes into dst. Returns the count, 0 at end of stream,
// or -1 with errno set; EINTR makes the caller ask again.
using request_reader = ssize_t (*)(void *context, char *dst, std::size_t max);

// Reads into text (request_capacity bytes) until a line feed is held, the
// stream ends or fails, or request_capacity - 1 bytes are held; nothing is
// read beyond that. The text is zero-terminated and its trailing spaces,
// tabs, carriage returns and line feeds are removed. Returns the command.
std::string_view read_request(char *text, request_reader reader, void *context);

// Removes trailing spaces, tabs, carriage returns and line feeds from the
// zero-terminated text, whose end is its first zero byte.
std::string_view trim_request(char *text);

// Milliseconds from now until deadline on CLOCK_MONOTONIC, at least 0.
int milliseconds_until(const struct timespec &deadline);

// Nanoseconds from now to when, on whichever clock both were read from;
// negative once when has passed.
long long nanoseconds_until(const struct timespec &when, const struct timespec &now);

// The same as a timeout for a wait: never negative.
struct timespec timeout_until(const struct timespec &when, const struct timespec &now);

// A CLOCK_MONOTONIC time the given seconds from now.
struct timespec deadline_after(long seconds);

// Sends all of data, waiting for room with poll and sending with
// MSG_DONTWAIT, until timeout_ms have passed. A peer that does not read
// then loses what is unsent, so it can never hold the sender. Returns 0
// when everything was sent, -1 otherwise.
int send_before_deadline(int fd, const char *data, std::size_t length, int timeout_ms);
