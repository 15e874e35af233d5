#include "server/request.hpp"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

static bool is_trailing_blank(char c);

static bool
is_trailing_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view
trim_request(char *text) {
    std::size_t length = std::strlen(text);
    while (length > 0 && is_trailing_blank(text[length - 1]))
        text[--length] = '\0';
    return {text, length};
}

std::string_view
read_request(char *text, request_reader reader, void *context) {
    std::size_t held = 0;
    while (held < request_capacity - 1) {
        ssize_t n = reader(context, text + held, request_capacity - 1 - held);
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::size_t got = static_cast<std::size_t>(n);
        // Earlier bytes held no line feed, so only the new ones need a look.
        bool line_ended = std::memchr(text + held, '\n', got) != nullptr;
        held += got;
        if (line_ended)
            break;
    }
    text[held] = '\0';
    return trim_request(text);
}

int
milliseconds_until(const timespec &deadline) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long ms = (deadline.tv_sec - now.tv_sec) * 1000 + (deadline.tv_nsec - now.tv_nsec) / 1000000;
    return ms > 0 ? static_cast<int>(ms) : 0;
}

long long
nanoseconds_until(const timespec &when, const timespec &now) {
    return (static_cast<long long>(when.tv_sec) - now.tv_sec) * 1000000000LL +
           (when.tv_nsec - now.tv_nsec);
}

timespec
timeout_until(const timespec &when, const timespec &now) {
    long long ns = nanoseconds_until(when, now);
    if (ns < 0)
        ns = 0;
    return {static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
}

timespec
deadline_after(long seconds) {
    timespec at;
    clock_gettime(CLOCK_MONOTONIC, &at);
    at.tv_sec += seconds;
    return at;
}

int
send_before_deadline(int fd, const char *data, std::size_t length, int timeout_ms) {
    timespec deadline = deadline_after(0);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000;
    }
    std::size_t sent = 0;
    while (sent < length) {
        pollfd p = {fd, POLLOUT, 0};
        int ready = poll(&p, 1, milliseconds_until(deadline));
        if (ready == 0)
            return -1;
        if (ready == -1) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        ssize_t n = send(fd, data + sent, length - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n == -1 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0)
            return -1;
        sent += static_cast<std::size_t>(n);
    }
    return 0;
}
