// Following the power source and the lid: what devd's events and the
// kernel's readings mean, and the settings applied when the source
// changes. The link to devd (server/devd_link.hpp) hands it every event
// and tells it when devd is heard or lost; nothing here touches a socket.
#pragma once

#include "lid/lid.hpp"
#include "policy/devd_event.hpp"

#include <ctime>

// The power source and lid position it keeps are in follow_state.hpp.

// At start, before devd is reached: loads vantrel_on_ac,
// vantrel_on_battery and the battery floor.
void follow_load_settings();

// True while devd is to be followed: a setting or the battery floor asks
// for it, or a hold exists.
bool following();

// At start, whether or not devd answered: reads the lid when it did, and
// the source always, and applies the source's setting as the start's own
// choice, which owes no suspend.
void follow_begin(bool connected);

// devd answers again: the source and the lid, unheard meanwhile, are read
// anew and a changed source's setting carried out.
void follow_connected();

// devd went away: the source and the lid are unknown until it is back.
void follow_lost();

// One event from devd, as its parser named it.
void follow_event(devd_event event);

// After devd's news: when a reading of the displays and the dock is due
// (policy/docked.hpp), takes it, and a docking or an undocking it shows
// changes the lid action as a source change does.
void follow_displays();

// While devd is away with the battery floor set and a hold in place, the
// source is read once a minute, so that a charger pulled meanwhile is
// noticed and the floor can end the holds: the time until the next
// reading, for the loop's wait (false while none is due), and the reading.
bool follow_time_to_poll(timespec *left);
void follow_poll();

// Carries out what the follower and the holds' end left owed: the
// closed-lid suspend (policy/closed_lid_suspend.hpp) of a lid action that
// an automatic change made a sleep type while the lid is closed.
void follow_settle();

// The "power" request's reply, with the battery floor's and the heat
// guard's fields last.
void power_status(reply_text &reply);
