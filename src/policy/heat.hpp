// The heat guard (vantrel_heat_limit): at or above a chosen temperature
// with the lid closed, every hold ends, so that a closed laptop kept awake
// cannot overheat in a bag. The temperature is read only while it matters:
// with the limit set, a hold and the lid known closed.
#pragma once

#include "lid/lid.hpp"
#include "policy/devd_event.hpp"

#include <cstddef>
#include <ctime>

// Room for "heat=unknown" or "heat=105".
inline constexpr std::size_t heat_field_capacity = 24;

// At start: reads vantrel_heat_limit (50 to 105; unset or empty: none),
// warning about and ignoring any other value; with a limit, learns which
// sensors exist.
void load_heat_limit();

// True while a limit is set: devd is then followed.
bool heat_limit_set();

// Every devd event: a Thermal event asks for a reading.
void heat_event(devd_event event);

// Time until the next reading, for the loop's wait; false while the
// temperature is not watched.
bool heat_time_to_read(timespec *left);

// After every wake: reads the temperature on entering the watched
// condition, after a Thermal event or when a reading is due, and at or
// above the limit ends every hold. The closed-lid suspend that their end
// may owe follows as after any hold's end.
void heat_settle();

// Before a hold begins with the lid known closed: true, with
// "error: too hot (N C)" in the reply, at or above the limit. Without a
// current reading the temperature is read first.
bool heat_refuses_hold(reply_text &reply);

// "heat=N", or "heat=unknown" without a reading, into out; false with out
// untouched when no limit is set.
bool heat_field(char *out, std::size_t capacity);
