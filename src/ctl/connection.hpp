// The client's side of the control socket: one connection to socket_path,
// one request line, and the reply. Every failure is reported on standard
// error, in err(3) form, before the caller learns of it.
#pragma once

#include <cstddef>

// A request line with its line feed, or a first reply line with its zero.
inline constexpr std::size_t line_capacity = 256;

// Connects to socket_path, trying a refused connect again for about a
// second. Returns a close-on-exec descriptor, or -1 after "PATH: STRERROR"
// and, for ENOENT, ECONNREFUSED and EACCES, a hint.
int connect_service();

// Sends the whole request. Returns 0, or -1 after "PATH: STRERROR".
int send_request(int fd, const char *text, std::size_t length);

// Copies the reply to standard output as it comes, until the service
// closes. Returns 0, 1 when its first line begins with "error", or 2 after
// "PATH: no reply" when it is empty or its first line is.
int relay_reply(int fd);

// Writes one line the service sent (zero-terminated, without its line
// feed) in another form. Returns 0, 1 when the line was refused or was an
// error reply, or -1 when the output failed; each reported.
using line_writer = int (*)(const char *line);

// Copies each line the service sends to standard output as soon as the
// line is whole, one write a line, until the service closes; through
// writer unless it is null. Returns 1 after "the service ended the watch",
// or as relay_reply does when no line came, its first line begins with
// "error" or the output fails, or 1 when writer refused a line.
int relay_lines(int fd, line_writer writer = nullptr);

// Reads the first reply line into line (line_capacity bytes), without its
// line feed and zero-terminated. Returns 0, or -1 after "PATH: no reply".
int read_first_line(int fd, char *line);

bool begins_with_error(const char *text);

// Writes all of data to fd. Returns 0 or -1.
int write_all(int fd, const char *data, std::size_t length);

// Writes text and a line feed to fd in one write. Returns 0 or -1.
int write_line(int fd, const char *text);

// True when the connection has something to read, its end included;
// never waits.
bool has_input(int fd);

// True when the service has closed the connection; reads and drops
// anything else it sent, and never waits.
bool service_closed(int fd);
