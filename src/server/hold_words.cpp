#include "server/hold_words.hpp"

#include "runner/text.hpp"

static std::int64_t unit_seconds(char unit);

static constexpr std::size_t most_digits = 7;

static std::int64_t
unit_seconds(char unit) {
    switch (unit) {
    case 's':
        return 1;
    case 'm':
        return 60;
    case 'h':
        return 60 * 60;
    case 'd':
        return 24 * 60 * 60;
    default:
        return -1;
    }
}

std::int64_t
parse_duration(std::string_view text) {
    std::int64_t unit = 1;
    if (!text.empty() && (text.back() < '0' || text.back() > '9')) {
        unit = unit_seconds(text.back());
        text.remove_suffix(1);
    }
    if (unit == -1 || text.empty() || text.size() > most_digits)
        return -1;
    std::int64_t count = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        count = count * 10 + (c - '0');
    }
    std::int64_t seconds = count * unit;
    return seconds >= 1 && seconds <= longest_hold_seconds ? seconds : -1;
}

server_request
classify_request(std::string_view request) {
    if (request == "hold")
        return {server_word::hold, 0};
    if (request == "holds")
        return {server_word::holds, 0};
    if (request == "release")
        return {server_word::release, 0};
    if (request == "power")
        return {server_word::power, 0};
    if (request == "state")
        return {server_word::state, 0};
    if (request == "watch")
        return {server_word::watch, 0};
    if (text_head(request, 5) != "hold ")
        return {server_word::other, 0};
    std::int64_t seconds = parse_duration(text_tail(request, 5));
    if (seconds == -1)
        return {server_word::bad_duration, 0};
    return {server_word::hold_timed, static_cast<std::uint32_t>(seconds)};
}
