// The closed-lid suspend: every suspend the service makes on its own. The
// kernel acts on the lid action only when the lid moves, so a sleep type
// that becomes the lid action while the lid is already shut would never
// take effect, and the battery floor must put a shut machine to sleep even
// at NONE. Both come here, and the machine suspends once for them.
#pragma once

#include <cstdint>

enum class suspend_cause : std::uint8_t {
    // Owed by an automatic change: a power-source setting, or the end of
    // the holds writing a sleep type back. In the lid action's sleep type.
    lid_action,
    // The battery is at its floor: in the mode's sleep type, even when the
    // lid action is NONE, since a person's NONE must not cost the session.
    battery_floor,
};

// An automatic change made the lid action a sleep type: the next call for
// lid_action suspends if the lid is closed.
void owe_closed_lid_suspend();

// Decides and carries out the suspend for cause: for lid_action only when
// one is owed, the lid is not known open and the lid action reads a sleep
// type (owing ends there, suspended or not). The lid the follower knows and
// the kernel's reading taken now must both say closed, or nothing happens
// (for lid_action with "lid not known closed: not suspending"). Then it is
// refused, with a warning, when the kernel lists no sleep type for its mode
// or while an earlier request is pending (until a resume event, or 60
// seconds); otherwise the request is made, and a tool that cannot be run
// or fails is warned about. A request settles whatever was owed, whoever
// owed it, so the machine suspends once per pass. battery_level is for the
// floor's log line. Returns true once the lid was known closed: the
// suspend was requested, refused or failed.
bool suspend_closed_lid(suspend_cause cause, int battery_level);

// devd's resume event: a request made before it is no longer pending.
void closed_lid_resumed();
