// Bounded text helpers shared by every subsystem.
//
// Each copy compares the length it needs with the destination's capacity
// (terminating zero included) and refuses what does not fit, so no text is
// ever cut silently.
#pragma once

#include <cstddef>
#include <string_view>

// Copies text and its terminating zero into dst of the given capacity.
// Returns 0, or -1 with dst untouched when text needs capacity bytes or more.
int copy_text(char *dst, std::size_t capacity, std::string_view text);

// Writes a "%s=%s" pair into dst. Returns 0, or -1 with dst untouched when the
// pair would not fit with its terminating zero.
int format_pair(char *dst, std::size_t capacity, std::string_view name, std::string_view value);

// Length of a zero-terminated text held in a buffer of the given capacity,
// never looking past the buffer.
std::size_t bounded_length(const char *text, std::size_t capacity);

// The first n characters of text, or all of it when it is shorter. Unlike
// string_view::substr nothing here can throw, which would bring in the C++
// runtime that the program does without.
constexpr std::string_view
text_head(std::string_view text, std::size_t n) {
    return {text.data(), n < text.size() ? n : text.size()};
}

// What follows the first `from` characters of text; empty when there is
// nothing past them.
constexpr std::string_view
text_tail(std::string_view text, std::size_t from) {
    if (from >= text.size())
        return {};
    return {text.data() + from, text.size() - from};
}
