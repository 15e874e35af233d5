#include "runner/text.hpp"

#include <cstring>

int
copy_text(char *dst, std::size_t capacity, std::string_view text) {
    if (text.size() >= capacity)
        return -1;
    // An empty view may hold no pointer at all, which memcpy must not get.
    if (!text.empty())
        std::memcpy(dst, text.data(), text.size());
    dst[text.size()] = '\0';
    return 0;
}

int
format_pair(char *dst, std::size_t capacity, std::string_view name, std::string_view value) {
    std::size_t need = name.size() + 1 + value.size();
    if (need >= capacity)
        return -1;
    std::memcpy(dst, name.data(), name.size());
    dst[name.size()] = '=';
    if (!value.empty())
        std::memcpy(dst + name.size() + 1, value.data(), value.size());
    dst[need] = '\0';
    return 0;
}

std::size_t
bounded_length(const char *text, std::size_t capacity) {
    const void *zero = std::memchr(text, '\0', capacity);
    return zero ? static_cast<std::size_t>(static_cast<const char *>(zero) - text) : capacity;
}
