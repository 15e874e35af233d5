// Shared plumbing for the stand-ins of sysctl, acpiconf and zzz that the
// simulated machine puts in place of the FreeBSD tools.
//
// The stand-ins are started once per service request and a benchmark
// measures them against the service, so they stay small: POSIX calls, no
// iostreams, and the heap only when an argument or value outgrows the
// on-stack buffer.
#pragma once

#include <stddef.h>

namespace sim {

// Byte buffer that starts on the stack and moves to the heap only when
// something long comes along (values and argument lists have no fixed
// limit).  Always kept NUL-terminated so it can be used as a path.
class Buf {
  public:
    Buf() {
        small_[0] = '\0';
    }
    Buf(const Buf &) = delete;
    Buf &operator=(const Buf &) = delete;
    ~Buf();

    void add(const char *s, size_t n);
    void add(const char *s);
    void add(char c) {
        add(&c, 1);
    }
    void add_uint(unsigned long v);
    void clear() {
        len_ = 0;
        data_[0] = '\0';
    }

    const char *c_str() const {
        return data_;
    }
    size_t size() const {
        return len_;
    }

  private:
    char small_[512];
    char *data_ = small_;
    size_t len_ = 0;
    size_t cap_ = sizeof small_;
};

// The state directory from VANTREL_SIM_STATE; exits 70 when it is unset.
const char *state_dir(const char *tool);

// Settings and knobs are files named after the setting, so a name must not
// be able to step out of its folder.
bool valid_name(const char *name);

// Appends one record line (without the newline, which is added here) to
// DIR/log/LOG with a single write(2).  Never fails the caller.
void log_line(const char *state, const char *log, Buf &line);

// The argv words joined by single spaces, argv[0] exactly as received.
void join_argv(Buf &out, int argc, char **argv);

// Records the tool's open descriptors in DIR/log/fds, and the signals it
// started with blocked or ignored in DIR/log/signals.
void log_fds(const char *state, const char *tool);
void log_signals(const char *state, const char *tool);

// Knob DIR/knob/BASE.KIND.  knob_exists: the file is there at all.
// knob_number: the file holds a decimal number within [lo, hi]; a file that
// does not is reported on stderr and treated as absent, so a typo in a test
// shows up instead of silently doing nothing.
bool knob_exists(const char *state, const char *base, const char *kind);
bool knob_number(const char *tool, const char *state, const char *base, const char *kind, long lo,
                 long hi, long *out);

// Knob DIR/knob/BASE.KIND as text, trailing whitespace dropped, added to
// out.  Returns whether the knob exists and could be read.
bool knob_text(const char *state, const char *base, const char *kind, Buf &out);

// The usual trio every tool honours: sleep for the delay knob, then
// (separately, at the point the tool chooses) die by the signal knob.
void apply_delay(const char *tool, const char *state, const char *base);

// Prints DIR/knob/BASE.raw verbatim on stdout when that knob exists.
// Returns whether it did.
bool print_raw_knob(const char *state, const char *base);

// The whole life of a suspend tool: record the descriptors, wait out the
// delay knob, copy the file the watch knob names (if any) to
// DIR/log/TOOL.watch, record the call (with whatever annotate adds) and,
// in DIR/log/suspend, the call with the lid's position (and in
// DIR/log/suspend.time the CLOCK_MONOTONIC time of it), then obey the
// signal and exit knobs. Returns the exit status.
int suspend_tool_main(const char *tool, int argc, char **argv,
                      void (*annotate)(const char *state, Buf &call));
// kind names another knob holding the signal, as "signal_after" for a
// tool that dies only once its work is done.
void apply_signal(const char *tool, const char *state, const char *base,
                  const char *kind = "signal");

// The value of setting NAME (the file DIR/sysctl/NAME) added to out.
// Returns 0 or the errno of the failure.  On a kernel with kern.power.*
// hw.acpi.suspend_state has no file of its own: it shows the ACPI S-state
// of kern.power.suspend, as the kernel's compatibility handler does, and
// "NONE" for a type that has none, such as suspend-to-idle.
int setting_value(const char *state, const char *name, Buf &out);

// Reads a whole file into out.  Returns 0 or the errno of the failure.
int read_file(const char *path, Buf &out);

// Copies a whole file to fd.  Returns 0 or an errno.
int copy_file(const char *path, int fd);

// Writes everything, riding out EINTR and a non-blocking descriptor.
// Returns false on a real error; callers that only report ignore it.
bool write_all(int fd, const char *p, size_t n);

// "TOOL: a b c\n" on stderr, pieces given as NULL-terminated list.
void error(const char *tool, const char *a, const char *b = nullptr, const char *c = nullptr);

} // namespace sim
