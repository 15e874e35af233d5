// The request line as a connection's bytes make it, and the clock
// arithmetic that the loop's deadlines share.
//
// A request is the bytes before the first line feed, or before the end of
// the stream or of the time to send it. The line feed must come within
// request_capacity bytes; what follows it is not part of the request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>
#include <string_view>

// 255 bytes of request and its line feed.
inline constexpr std::size_t request_capacity = 256;

// The bytes read from one connection so far, in the order they came.
struct request_line {
    char text[request_capacity];
    std::size_t held;
};

enum class line_state : std::uint8_t {
    partial,  // no line feed yet, and room for more
    complete, // a line feed is held
    too_long, // request_capacity bytes held, no line feed among them
};

// Where the next bytes read go: after those held, up to the capacity.
// Empty only for a line too long.
std::span<char> line_room(request_line &line);

// Counts got more bytes read into the room and says where the line
// stands; only the new bytes are looked at.
line_state line_took(request_line &line, std::size_t got);

// The request of a line that is complete, or whose stream or time ended:
// the bytes before the first line feed, or all of them, without trailing
// spaces, tabs and carriage returns, zero-terminated in place. A zero byte
// stays in it. A line too long has no request; it gives an empty one.
std::string_view line_request(request_line &line);

// How many bytes held came after the line's first line feed; 0 without one.
std::size_t bytes_after_line(const request_line &line);

// Nanoseconds from now to when, on whichever clock both were read from;
// negative once when has passed.
long long nanoseconds_until(const struct timespec &when, const struct timespec &now);

// The same as a timeout for a wait: never negative.
struct timespec timeout_until(const struct timespec &when, const struct timespec &now);

// A CLOCK_MONOTONIC time the given seconds from now.
struct timespec deadline_after(long seconds);
