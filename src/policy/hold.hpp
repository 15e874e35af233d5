// Holds: requests that keep the lid action at NONE while they last. The
// state they replaced is remembered, also in a file, and written back when
// the last one ends, unless a person has chosen another action since. A
// bound hold keeps its connection only as the handle the server gave it:
// the holds never read, write or close it.
#pragma once

#include "lid/lid.hpp"
#include "policy/peers.hpp"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

inline constexpr std::size_t hold_capacity = 16;
// A user who holds this many has the lid kept awake already; more from one
// user only keeps the others out.
inline constexpr std::size_t hold_share = 4;
// No member can take these, so that root can always hold.
inline constexpr std::size_t holds_kept_for_root = 4;
// Holds the state to restore while one is remembered, so that a service
// that dies during a hold restores it at its next start. It is replaced
// whole: written as restore_new_path, then renamed over it.
inline constexpr char restore_file_path[] = "/var/run/vantrel.restore";
inline constexpr char restore_new_path[] = "/var/run/vantrel.restore.new";
// Room for one "holds" line per hold, its reason included.
inline constexpr std::size_t holds_text_capacity = hold_capacity * 128;

// Begins a hold for peer, within its user's share of the holds: bound to
// connection conn, or lasting seconds when conn.fd is -1, listed with
// reason unless it is empty. A lid that does not read NONE is set to NONE,
// whatever other holds exist. Returns 0 with the lid state read back in
// the reply and the hold in place (a bound hold then keeps conn until
// take_ended_hold hands conn.fd back), or -1 with the refusal in the reply.
int begin_hold(const peer_identity &peer, kept_connection conn, std::uint32_t seconds,
               std::string_view reason, reply_text &reply);

// Ends every hold of uid, or every hold for uid 0, then reads the lid state
// into the reply. Returns 0, or -1 when that read failed.
int release_holds(uid_t uid, reply_text &reply);

// One line per hold, oldest first, or "no holds"; each ends with a line
// feed. Returns the text's length.
std::size_t list_holds(char *text, std::size_t capacity);

// An automatic change while holds exist: value is what the lid gets once
// they end. Returns 0, or -1, warned about, with the state remembered
// before kept in memory and in the file, when the file could not be
// replaced.
int replace_restore_state(const char *value);

// The lid state the holds will write back when they end; "" when none is
// remembered.
const char *remembered_lid_state();

// A lid command of uid's succeeded: the lid stays as they left it when the
// holds end. Logged when a remembered state is thereby dropped.
void forget_restore_state(uid_t uid);

// While a state is remembered, a person's lid command puts the value it is
// about to write into the file first (run_command's before_write), so a
// crash while it runs cannot bring back the older state over their choice.
// Returns -1, with nothing changed, when the file could not be replaced.
int stage_person_choice(const char *value);
// The person's lid command ended: done, the remembered state is forgotten
// (forget_restore_state); failed, the file gets the remembered state back.
void end_person_choice(uid_t uid, bool done);

// The connections that bound holds wait on: count and connection by
// index, fd -1 for a timed hold. The server reads a holder's connection
// through it, and counts what it sent there.
std::size_t hold_count();
kept_connection &hold_connection(std::size_t index);

// Ends the hold at index. The last one writes the remembered state back
// while the lid still reads NONE.
void end_hold(std::size_t index);

// The server found that the holder of the bound hold at index has closed,
// or has sent more than a kept connection may (kept_sending, logged): the
// hold ends. A later hold then takes its index, so callers walk the holds
// from the last one.
void holder_ended(std::size_t index, bool kept_sending);

// The connection of a bound hold that has ended (by any of the ways a hold
// ends), once, oldest first, for the server to close; -1 when none waits.
// Its slot is free for a new hold only once it has been taken.
int take_ended_hold();

// Ends the timed holds whose time is up.
void end_expired_holds();

// A write-back that failed (at the last hold's end, or at start) is tried
// again every 60 s while no hold exists: the time until the next try, for
// the loop's wait, or false when none waits; and the try when it is due.
bool time_to_retry_write_back(timespec *left);
void retry_write_back();

// Measures the time the machine slept since the last call: the advance of
// CLOCK_REALTIME beyond that of CLOCK_MONOTONIC (wall_clock_lead). Called
// at every wake. More than 2 seconds moves every timed hold's end earlier
// by the part that accrued after the hold began, and ends those now due:
// at once when resume_heard is false (devd is not connected), else only
// once confirm_time_asleep follows within 10 seconds; a jump that nothing
// confirms was the wall clock being set, and is dropped with a warning.
void count_time_asleep(bool resume_heard);

// A resume event came: the jump waiting for one counts as sleep.
void confirm_time_asleep();

// Time until the nearest timed hold ends, for the loop's wait; false when
// there is none.
bool time_to_next_end(timespec *left);

// Ends every hold, as at the end of the service.
void end_all_holds();

// At start: writes back a state that a service which died during a hold
// left in the restore file, unless someone has chosen since; one that
// cannot be written yet stays remembered, as after a failed write-back.
void restore_after_crash();
