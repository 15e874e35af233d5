// Following devd and the kernel: the connection to devd and its retries,
// the power source and lid position they report, the settings applied when
// the source changes, and the suspend when the lid action becomes a sleep
// type on its own while the lid is closed.
#pragma once

#include "lid/lid.hpp"
#include "lid/power.hpp"

#include <sys/select.h>

#include <cstdint>
#include <ctime>

// The power source and lid position it keeps are in follow_state.hpp.

// At start, before the service listens: loads the settings and, when there
// is something to follow, connects to devd, reads the source and the lid,
// and applies the source's setting.
void follow_start();

// devd's descriptor for the loop's wait, or -1.
int follow_descriptor();

// Time until the next attempt to reach devd, for the loop's wait; false
// when none is due (connected, or nothing to follow).
bool follow_time_to_retry(timespec *left);

// After every wake: takes devd's event when its descriptor is readable, or
// tries to connect when a retry is due.
void follow_wake(const fd_set &readable);

// A hold began: the service follows devd from now on.
void follow_hold_began();

// Carries out what the wake left to do: the suspend when an automatic
// change (a power-source setting, or the end of the holds writing a sleep
// type back) made the lid action a sleep type while the lid is closed.
void follow_settle();

// Before an automatic suspend (the closed lid's, the battery floor's) in
// mode (s3 or s0ix): false, with a warning, when the kernel lists no sleep
// type for it, or while an earlier automatic request is pending (until a
// resume event, or 60 seconds).
bool may_suspend_automatically(std::uint8_t mode);

// Requests the suspend for mode; a tool that cannot be run or fails is
// warned about, a success makes the request pending.
void suspend_automatically(std::uint8_t mode);

// The machine was just suspended another way: a closed-lid suspend owed
// is dropped, so the machine suspends once.
void follow_suspended();

// The power source as last known: while devd is lost, the one known before
// the loss, so the battery floor still guards a machine that went quiet.
power_source last_known_source();

// The "power" request's reply, with the battery floor's field last.
void power_status(reply_text &reply);
