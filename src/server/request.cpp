#include "server/request.hpp"

#include <cerrno>
#include <cstring>

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
