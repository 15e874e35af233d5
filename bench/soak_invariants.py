"""What must never happen, checked by bench/soak after every step.

The driver tells a Record what it did (holds granted, a person's choices,
devd events and whether they reached the service, restarts) and hands it
what it saw (the service's `state` line, the restore files, the suspend
tools' records); the checks raise Violation with the invariant's number.
"""

import collections

NAMES = {
    1: "no suspend with the lid open",
    2: "no suspend without devd's word",
    3: "holds keep the lid at NONE",
    4: "the restore file matches",
    5: "nothing is lost across a crash",
    6: "a person's choice is kept",
    7: "a bounded service",
    8: "liveness",
    9: "a fair share",
    10: "a clock step ends no timed hold",
    11: "every start takes the lock",
    12: "no hold outlasts a hot reading with the lid closed",
    13: "no automatic suspend within the hold-off after a resume",
}
STATE_KEYS = ["action", "mode", "toggle", "holds", "saved", "source", "lid", "devd"]
ANSWER_SECONDS = 1.0
# A suspend this soon after the driver sent a resume may have been started
# before the service read it; one whose tool ran earlier than this before
# the hold-off's end (counted from the send, so the service's own count
# ends later) came inside it.
RESUME_SLACK, HOLDOFF_SLACK = 0.1, 0.2


class Violation(Exception):
    def __init__(self, number, detail):
        super().__init__(f"invariant {number} ({NAMES[number]}): {detail}")
        self.number = number


def parse_state(line):
    """The `state` line as a dict; holds as a number. A line that is not
    the documented fields in their order is itself a fault."""
    fields = [word.partition("=") for word in line.split()]
    keys = [k for k, _, _ in fields]
    extra = [k for k in ("docked", "battery", "heat") if k in keys]
    if keys != STATE_KEYS + extra or not fields[3][2].isdigit():
        raise Violation(8, f"no state line in the reply: {line!r}")
    state = {k: v for k, _, v in fields}
    state["holds"] = int(state["holds"])
    return state


class Record:
    def __init__(self):
        self.checked = collections.Counter()
        self.notes = []  # suspends allowed by a reading of the lid, not an event
        self.resumes = []  # when the driver sent resumes the service got, since its start
        self.restarted()

    # What the driver did.
    def restarted(self):
        self.hold_began = -1  # step of the latest granted hold
        self.person = (-1, None)  # step and reply of the latest person's lid command
        self.period = -1  # step of the first hold since holds last read 0; -1: none
        self.source = None  # the last source the service knew
        self.source_changed = -1
        self.conn = None  # the service's devd connection as seen: None when absent

    def hold_reply(self, step, reply):
        if reply is not None and reply.startswith("error"):
            return
        self.checked[3] += 1
        if reply not in (None, "NONE"):
            raise Violation(3, f"a hold was granted with the reply {reply!r}, not NONE")
        self.hold_began = step
        if self.period < 0:
            self.period = step

    def starting(self, when):
        """A service starts: a start is no resume, so no earlier resume holds
        off what the new one does."""
        self.resumes = [t for t in self.resumes if t > when]

    def resumed(self, when):
        self.resumes = self.resumes[-8:] + [when]

    def person_chose(self, step, reply):
        if not reply.startswith("error"):
            self.person = (step, reply)

    def devd_event(self, kind, relayed, lid_closed):
        """kind: lid_closed, lid_opened or resumed; relayed: the service got it."""
        if not relayed:
            return
        if self.conn is None:  # it connected since the last state line
            self.conn = {"close_event": False, "read_closed": lid_closed}
        if kind == "lid_closed":
            self.conn["close_event"] = True
        # The position it reads then, or the event, is its latest word.
        self.conn["read_closed"] = lid_closed if kind == "resumed" else kind == "lid_closed"

    # What the driver saw.
    def after_step(self, step, state, conn_before, lid_closed, restore, suspends):
        """restore: (content of vantrel.restore or None, .new exists)."""
        self.saw_devd(state, lid_closed)
        for line in suspends:
            self.check_suspend(step, line, conn_before)
        # Docking and undocking change the setting that applies, as a new
        # power source does.
        known = f"{state['source']} docked={state.get('docked', 'no')}"
        if state["source"] in ("ac", "battery") and state.get("docked") != "unknown":
            if self.source not in (None, known):
                self.source_changed = step
            self.source = known
        self.check_holds(step, state)
        self.check_restore_file(state, *restore)

    def saw_devd(self, state, lid_closed):
        if state["devd"] != "connected":
            self.conn = None
        elif self.conn is None:  # a new connection; the service read the lid
            self.conn = {"close_event": False, "read_closed": lid_closed}

    def check_suspend(self, step, line, conn_before):
        call, _, lid = line.partition("\tdev.acpi_lid.0.state=")
        self.checked[1] += 1
        if lid != "0":
            raise Violation(1, f"{call} ran with dev.acpi_lid.0.state={lid!r}")
        self.checked[2] += 1
        conns = [c for c in (conn_before, self.conn) if c is not None]
        if any(c["close_event"] for c in conns):
            return
        if any(c["read_closed"] for c in conns):
            # The service may also know the lid closed from reading it at
            # its (re)connection or a resume on this connection.
            self.notes.append(f"step {step}, {call}")
            return
        raise Violation(2, f"{call} ran with no Lid close event on the service's devd connection"
                        + ("" if conns else " (none)"))

    def check_holds(self, step, state):
        person_step, choice = self.person
        if state["holds"] > 0:
            if person_step < self.hold_began:
                self.checked[3] += 1
                if state["action"] != "NONE":
                    raise Violation(3, f"{state['holds']} holds, the lid reads {state['action']}"
                                    f" (latest hold at step {self.hold_began}, no person's"
                                    " command after it)")
            return
        if self.period >= 0 and person_step > max(self.period, self.source_changed):
            self.checked[6] += 1
            # A write-back that failed keeps the choice for its next try.
            kept = state["action"] == "NONE" and state["saved"] == choice
            if state["action"] != choice and not kept:
                raise Violation(6, f"the holds ended and the lid reads {state['action']}, but the"
                                f" person's choice at step {person_step} was {choice}")
        self.period = -1

    def check_restore_file(self, state, content, new_exists):
        self.checked[4] += 1
        if new_exists:
            raise Violation(4, "vantrel.restore.new is left")
        saved = state["saved"]
        want = None if saved == "none" else saved + "\n"
        if content != want:
            raise Violation(4, f"saved={saved} but vantrel.restore holds {content!r}")

    def check_restart(self, before, lid_then, setting):
        """before: the state line just before the end; setting: the lid state
        the power-source setting for the source at the start writes, or None."""
        self.checked[5] += 1
        clean = before["action"]
        if before["saved"] != "none" and clean == "NONE":
            clean = before["saved"]
        want = setting or clean
        if lid_then != want:
            raise Violation(5, f"after the restart the lid reads {lid_then}, not {want}"
                            f" (before: action={before['action']} saved={before['saved']})")

    def check_person_kill(self, before, target, done, lid_then, setting):
        """A kill while a person's command wrote target: the next start shows
        the person's result, or, when it had not been carried out, what was
        remembered before; a setting the start applies wins over both."""
        self.checked[5] += 1
        kept = before["saved"] if before["saved"] != "none" else before["action"]
        allowed = {setting} if setting else {target} if done else {target, kept}
        if lid_then not in allowed:
            raise Violation(5, f"after a kill during a person's command writing {target}"
                            f" ({'carried out' if done else 'not carried out'}) the lid reads"
                            f" {lid_then}, not {' or '.join(sorted(allowed))} (before:"
                            f" action={before['action']} saved={before['saved']})")

    def check_heat(self, state, limit):
        """Every reading acts before the reply that shows it: a hot reading
        shown with the lid closed leaves no hold."""
        heat = state.get("heat", "unknown")
        if heat == "unknown" or state["lid"] != "closed":
            return
        self.checked[12] += 1
        if int(heat) >= limit and state["holds"] > 0:
            raise Violation(12, f"heat={heat} with the lid closed and {state['holds']} holds")

    def check_holdoff(self, times, holdoff):
        """times: when the suspend tools ran; every suspend in the soak is
        an automatic one."""
        for ts in times:
            self.checked[13] += 1
            for tr in self.resumes:
                if tr + RESUME_SLACK < ts < tr + holdoff - HOLDOFF_SLACK:
                    raise Violation(13, f"a suspend {ts - tr:.2f} s after a resume, with"
                                    f" vantrel_resume_holdoff={holdoff}")

    def check_lock(self, holder, pid):
        self.checked[11] += 1
        if holder != pid:
            raise Violation(11, f"the lock is held by {holder}, not by the service (pid {pid})")

    def check_answer(self, request, seconds, suspended):
        self.checked[8] += 1
        if seconds > ANSWER_SECONDS and not suspended:
            raise Violation(8, f"{request!r} took {seconds:.2f} s")

    def check_clock_step(self, seconds, before, after):
        """before, after: the timed holds with 3 s or more left around a step
        of the wall clock that no resume event followed."""
        self.checked[10] += 1
        if after < before:
            raise Violation(10, f"a step of the wall clock by {seconds} s, with devd connected and"
                            f" no resume, left {after} of {before} timed holds")

    def check_bounded(self, first, last):
        """first, last: (descriptors, KiB that can grow, RSS) after steps 100
        and 1,000. The static tables and code are touched page by page as
        they are first used, so RSS alone may rise once by a page or so
        (seed 430); the heap and free anonymous mappings may not."""
        self.checked[7] += 1
        if last[0] > first[0] or last[1] > first[1]:
            raise Violation(7, f"{last[0]} descriptors, {last[1]} KiB that can grow (RSS"
                            f" {last[2]} KiB) after 1000 steps; {first[0]}, {first[1]} KiB (RSS"
                            f" {first[2]} KiB) after 100 steps")
