// What the devd follower knows, for those who report it. Written by the
// follower alone (follow.cpp); everyone else only reads it. Apart from
// follow.hpp so that a file which names a request word "power" can still
// include the follower's functions.
#pragma once

#include "lid/power.hpp"

// A setting points at its lid command word ("awake", "s0ix" or "s3"), or is
// null when unset or ignored. source and lid are what the service knows
// now: both unknown while devd is lost, until a new connection reads them.
struct power_following {
    const char *on_ac;
    const char *on_battery;
    power_source source;
    lid_position lid;
};
extern power_following power;
