// The request words that the server answers itself rather than through the
// lid commands: holds, their grammar and their durations, and the words
// that report the service's state.
#pragma once

#include <cstdint>
#include <string_view>

// The longest hold a DURATION may ask for: one week.
inline constexpr std::uint32_t longest_hold_seconds = 7 * 24 * 60 * 60;

enum class server_word : std::uint8_t {
    other,        // not a server word: a lid command or an unknown one
    hold,         // "hold": lasts while the connection stays open
    hold_timed,   // "hold DURATION"
    bad_duration, // "hold " followed by anything else
    holds,        // "holds": list them
    release,      // "release": end the requester's holds
    power,        // "power": what the service follows
    state,        // "state": everything in one line
    watch,        // "watch": that line now and after every change
};

struct server_request {
    server_word word;
    std::uint32_t seconds; // of a timed hold, else 0
};

// Reads DURATION: 1 to 7 decimal digits and an optional unit, s (the
// default), m, h or d. Returns its seconds, 1 to longest_hold_seconds, or
// -1 when it is malformed or out of that range.
std::int64_t parse_duration(std::string_view text);

// Classifies a trimmed request. "hold" is a hold request alone or followed
// by exactly one space; "holds", "release", "power", "state" and "watch"
// are exact words.
server_request classify_request(std::string_view request);
