#include "server/request.hpp"

#include <cstring>

static bool is_trailing_blank(char c);

static bool
is_trailing_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::span<char>
line_room(request_line &line) {
    return {line.text + line.held, request_capacity - line.held};
}

line_state
line_took(request_line &line, std::size_t got) {
    const char *fresh = line.text + line.held;
    line.held += got;
    if (std::memchr(fresh, '\n', got) != nullptr)
        return line_state::complete;
    return line.held < request_capacity ? line_state::partial : line_state::too_long;
}

std::string_view
line_request(request_line &line) {
    const void *feed = std::memchr(line.text, '\n', line.held);
    std::size_t length = feed != nullptr
                             ? static_cast<std::size_t>(static_cast<const char *>(feed) - line.text)
                             : line.held;
    if (length == request_capacity)
        return {};
    while (length > 0 && is_trailing_blank(line.text[length - 1]))
        length--;
    line.text[length] = '\0';
    return {line.text, length};
}

std::size_t
bytes_after_line(const request_line &line) {
    const void *feed = std::memchr(line.text, '\n', line.held);
    if (feed == nullptr)
        return 0;
    return line.held - static_cast<std::size_t>(static_cast<const char *>(feed) - line.text) - 1;
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
