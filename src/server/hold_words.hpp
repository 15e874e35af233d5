// The request words that the server answers itself rather than through the
// lid commands: holds, their grammar, their durations and their reasons,
// and the words that report the service's state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// A timed hold's time counts the time the machine sleeps. No clock does
// on FreeBSD: CLOCK_MONOTONIC and CLOCK_UPTIME both come from the uptime,
// which stops while the machine is suspended, and CLOCK_BOOTTIME is only
// another name for CLOCK_UPTIME (sys/sys/_clock_id.h), unlike Linux's,
// which goes on. Linux's CLOCK_MONOTONIC stops too. So both sides
// keep their deadlines on CLOCK_MONOTONIC and watch how far the wall clock
// has run ahead of it: a jump in this lead of more than asleep_threshold_ns
// is a sleep, or a step of the wall clock (ntpd, date), which only a
// resume event can tell apart.
inline constexpr long long asleep_threshold_ns = 2000000000LL;
// CLOCK_REALTIME minus CLOCK_MONOTONIC now, in nanoseconds.
long long wall_clock_lead();

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
