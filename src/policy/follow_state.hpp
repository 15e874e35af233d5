// What the devd follower knows, for those who report it or decide by it.
// Written by the follower alone (follow.cpp); everyone else only reads it.
// Apart from follow.hpp so that a file which names a request word "power"
// can still include the follower's functions, and so that the battery
// floor and the closed-lid suspend read it without including the follower.
#pragma once

#include "lid/power.hpp"

// A setting points at its lid command word ("awake", "s0ix" or "s3"), or is
// null when unset or ignored. source and lid are what the service knows
// now: both unknown while devd is lost, until a new connection reads them.
// devd_connected: a connection to devd is open.
struct power_following {
    const char *on_ac;
    const char *on_battery;
    power_source source;
    lid_position lid;
    bool devd_connected;
};
extern power_following power;

// The power source as last known: while devd is lost, the one known before
// the loss, so the battery floor still guards a machine that went quiet.
power_source last_known_source();
