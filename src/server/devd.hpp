// devd's event socket: connecting to it, taking one message at a time
// without ever blocking, and what a message means. The parser is pure.
//
// A message means an event only when, after one trailing line feed is
// stripped, it is "!" and then words separated by single spaces, each a
// key=value with a key of at least one byte (the value is what follows the
// first "="; it may be empty). An empty word, a word without "=" or with an
// empty key, or one of the keys system, subsystem, type and notify given
// twice (so the meaning would depend on which one counts) makes the whole
// message not parse. Other keys may repeat. Keys and values compare whole
// and case-sensitively:
//   system=ACPI subsystem=Lid   notify=0x00 lid_closed, any other notify
//                               (present, whatever its value) lid_opened
//   system=ACPI subsystem=ACAD  notify=0x00 on_battery, notify=0x01 on_ac
//   system=ACPI subsystem=CMBAT with any notify, or none: battery_changed
//   system=ACPI subsystem=Resume, or system=kernel subsystem=power
//   type=resume (the kernel's own, since 14; system=kern before): resumed.
//   Anything else is none.
// The lid driver passes the firmware's _LID value on as the notify, and
// firmware may report open as any value but zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

inline constexpr char devd_socket_path[] = "/var/run/devd.seqpacket.pipe";
// devd sends one event per message; a longer message is ignored whole,
// never taken as the start of another (devd_judge_read).
inline constexpr std::size_t devd_message_capacity = 1024;
inline constexpr unsigned devd_retry_cap_seconds = 60;

enum class devd_event : std::uint8_t {
    none,
    lid_closed,
    lid_opened,
    on_battery,
    on_ac,
    resumed,
    battery_changed,
};

enum class devd_status : std::uint8_t {
    message, // one message was taken; its event may be none
    closed,  // the connection ended or failed: close the descriptor
    nothing, // nothing to read now (or interrupted): wait again
};

struct devd_received {
    devd_status status;
    devd_event event;
};

devd_event parse_devd_event(std::string_view message);

// What one read of length bytes, with recvmsg's flags, means. 14 and Linux
// cut a longer record to the buffer and set MSG_TRUNC. 15 hands it over in
// pieces, each filling the buffer, and only the last carries MSG_EOR
// (marked_ends); a read that fills the buffer without MSG_EOR then starts
// a discard that lasts until a read with MSG_EOR. A short read without
// MSG_EOR is a whole record wherever ends are not marked, so it ends a
// discard and is taken. Pure: the caller keeps discarding.
struct devd_verdict {
    bool take;       // the read is one whole message
    bool discarding; // the reads that follow belong to a record too long
};
devd_verdict devd_judge_read(bool discarding, std::size_t length, int flags, bool marked_ends);

// A close-on-exec, non-blocking SOCK_SEQPACKET socket connected to
// devd_socket_path, or -1 with errno set. Non-blocking, so that a devd whose
// queue of new clients is full refuses at once instead of holding the loop.
int devd_connect();

// Takes at most one message with recvmsg, never waiting. A message longer
// than devd_message_capacity is taken and gives none, however many reads
// it takes (devd_judge_read). A
// zero-length read is taken as the end of the connection, as it cannot be
// told apart from one.
devd_received devd_receive(int fd);

// The wait before the next connection attempt, given the one before it:
// 0 (connected, or never failed) gives 1, then 2, 4 ... up to
// devd_retry_cap_seconds. The caller sets it back to 0 after a successful
// connection; a delay of 0 before a failure thus marks a fresh loss.
unsigned devd_next_delay(unsigned previous);
