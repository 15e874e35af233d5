// The request words that the server answers itself rather than through the
// lid commands: holds, their grammar, their durations and their reasons,
// and the words that report the service's state. Shared by the service and
// vantrelctl, so both read a request the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// The longest hold a DURATION may ask for: one week.
inline constexpr std::uint32_t longest_hold_seconds = 7 * 24 * 60 * 60;
// A hold's reason: up to 64 bytes and the terminating zero.
inline constexpr std::size_t reason_capacity = 65;

enum class server_word : std::uint8_t {
    other,        // not a server word: a lid command or an unknown one
    hold,         // "hold" or "hold why TEXT": lasts while the connection stays open
    hold_timed,   // "hold DURATION", maybe followed by " why TEXT"
    bad_duration, // "hold " followed by a word that is neither a DURATION nor "why"
    bad_reason,   // anything else after a DURATION, or a bad TEXT after "why"
    holds,        // "holds": list them
    release,      // "release": end the requester's holds
    power,        // "power": what the service follows
    state,        // "state": everything in one line
    watch,        // "watch": that line now and after every change
};

struct server_request {
    server_word word;
    std::uint32_t seconds;   // of a timed hold, else 0
    std::string_view reason; // of a hold, within the request; empty when none
};

// Reads DURATION: 1 to 7 decimal digits and an optional unit, s (the
// default), m, h or d. Returns its seconds, 1 to longest_hold_seconds, or
// -1 when it is malformed or out of that range.
std::int64_t parse_duration(std::string_view text);

// True for a hold's reason: 1 to reason_capacity - 1 bytes of printable
// ASCII (space to tilde), the first not a space.
bool valid_reason(std::string_view text);

// Classifies a trimmed request. The grammar of a hold is
// "hold [DURATION] [why TEXT]", one space between the parts, TEXT being
// the rest of the line; "holds", "release", "power", "state"
// and "watch" are exact words.
server_request classify_request(std::string_view request);
