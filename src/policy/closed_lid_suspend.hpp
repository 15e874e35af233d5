// The closed-lid suspend: every suspend the service makes on its own. The
// kernel acts on the lid action only when the lid moves, so a sleep type
// that becomes the lid action while the lid is already shut would never
// take effect, and the battery floor must put a shut machine to sleep even
// at NONE. Both come here, and the machine suspends once for them.
#pragma once

#include <cstdint>
#include <ctime>

enum class suspend_cause : std::uint8_t {
    // Owed by an automatic change: a power-source setting, or the end of
    // the holds writing a sleep type back. In the lid action's sleep type.
    lid_action,
    // The battery is at its floor: in the mode's sleep type, even when the
    // lid action is NONE, since a person's NONE must not cost the session.
    battery_floor,
};

enum class suspend_outcome : std::uint8_t {
    none,      // nothing was owed, or the lid is not known closed
    held_off,  // owed, but a resume was too recent: asked again after the hold-off
    requested, // the kernel took the request
    refused,   // no sleep type, one still pending, or the tool failed (warned)
};

// At start: reads vantrel_resume_holdoff (0 to 300 seconds; unset or
// empty: 30), warning about and ignoring any other value.
void load_resume_holdoff();

// An automatic change made the lid action a sleep type: the next call for
// lid_action suspends if the lid is closed.
void owe_closed_lid_suspend();

// Decides and carries out the suspend for cause: for lid_action only when
// one is owed, the lid is not known open and the lid action reads a sleep
// type (owing ends there, suspended or not). Within the hold-off after a
// resume, a suspend whose lid is known closed is held off instead, logged
// once, and what was owed stays owed: lid_action is asked again by the next
// call after the hold-off, the floor through closed_lid_floor_recheck. The lid the follower knows
// and the kernel's reading taken now must both say closed, or nothing happens (for lid_action with
// "lid not known closed: not suspending"). Then it is refused, with a warning, when the kernel
// lists no sleep type for its mode or while an earlier request is pending (until a resume event, or
// 60 seconds); otherwise the request is made, and a tool that cannot be run or fails is warned
// about. A request settles whatever was owed, whoever owed it, so the machine suspends once per
// pass. battery_level is for the floor's log line.
suspend_outcome suspend_closed_lid(suspend_cause cause, int battery_level);

// devd's resume event: a request made before it is no longer pending, and
// the hold-off begins.
void closed_lid_resumed();

// devd's lid open event: a person has the machine, and closing the lid
// again lets the kernel act on the lid action itself; nothing stays owed.
void closed_lid_opened();

// Time until the hold-off ends, for the loop's wait, while a suspend waits
// for its end; false otherwise, so no timer runs after an ordinary resume.
bool holdoff_time_left(timespec *left);

// True once after a hold-off that held the floor's suspend has ended: the
// floor then reads the level again and decides anew.
bool closed_lid_floor_recheck();
