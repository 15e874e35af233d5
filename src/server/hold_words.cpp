#include "server/hold_words.hpp"

#include "runner/text.hpp"

#include <ctime>

static std::int64_t unit_seconds(char unit);
static server_request classify_hold(std::string_view rest);

static constexpr std::size_t most_digits = 7;
static constexpr std::string_view why_word = "why";

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

bool
valid_reason(std::string_view text) {
    if (text.empty() || text.size() >= reason_capacity || text.front() == ' ')
        return false;
    for (char c : text) {
        if (c < ' ' || c > '~')
            return false;
    }
    return true;
}

// rest is what follows "hold ". Its first word decides which error a
// malformed request gets: one that is neither a DURATION nor "why" is a
// bad duration, as it was before holds had reasons.
static server_request
classify_hold(std::string_view rest) {
    std::string_view word = text_head(rest, rest.find(' '));
    std::string_view after = text_tail(rest, word.size());
    server_request request = {server_word::hold, 0, {}};
    if (word != why_word) {
        std::int64_t seconds = parse_duration(word);
        if (seconds == -1)
            return {server_word::bad_duration, 0, {}};
        request = {server_word::hold_timed, static_cast<std::uint32_t>(seconds), {}};
        if (after.empty())
            return request;
        if (text_head(after, why_word.size() + 2) != " why ")
            return {server_word::bad_reason, 0, {}};
        after = text_tail(after, why_word.size() + 1);
    }
    // after is now the space that follows "why", and the reason.
    std::string_view reason = text_tail(after, 1);
    if (text_head(after, 1) != " " || !valid_reason(reason))
        return {server_word::bad_reason, 0, {}};
    request.reason = reason;
    return request;
}

server_request
classify_request(std::string_view request) {
    if (request == "hold")
        return {server_word::hold, 0, {}};
    if (request == "holds")
        return {server_word::holds, 0, {}};
    if (request == "release")
        return {server_word::release, 0, {}};
    if (request == "power")
        return {server_word::power, 0, {}};
    if (request == "state")
        return {server_word::state, 0, {}};
    if (request == "watch")
        return {server_word::watch, 0, {}};
    if (text_head(request, 5) != "hold ")
        return {server_word::other, 0, {}};
    return classify_hold(text_tail(request, 5));
}

// Both clocks are read together, so what one advanced beyond the other
// between two calls is the time the monotonic clock stood still, or the
// wall clock was set.
long long
wall_clock_lead() {
    timespec realtime, monotonic;
    clock_gettime(CLOCK_REALTIME, &realtime);
    clock_gettime(CLOCK_MONOTONIC, &monotonic);
    return (static_cast<long long>(realtime.tv_sec) - monotonic.tv_sec) * 1000000000LL +
           (realtime.tv_nsec - monotonic.tv_nsec);
}
