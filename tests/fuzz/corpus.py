#!/usr/bin/env python3
"""Writes the seed corpus in tests/fuzz/corpus/<target>/ from the shapes the
program really meets: request lines as clients send them, what sysctl
prints, the sleep-type lists of older and newer kernels, pid files and
devd's messages.

The layouts are the ones described at the top of each *_fuzz.cpp. Run it
again after changing a layout; the files it writes are committed."""

import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent
CORPUS = HERE / "corpus"

NEW_LIST = b"awake standby fw_suspend suspend_to_idle fw_hibernate poweroff"
OLD_LIST = b"awake standby s2mem s2idle hibernate poweroff"

# Kinds of child, as decode_status reads them.
EXIT0, EXIT_CODE, SPAWN_FAILS, WAIT_FAILS, RAW, SIGNALLED, CORE_ONLY = range(7)


def status_fields(kind, value=0):
    if kind in (EXIT_CODE, SIGNALLED):
        return bytes([kind, value])
    if kind == RAW:
        return bytes([kind]) + struct.pack("<I", value & 0xFFFFFFFF)
    return bytes([kind])


def child(output=b"", kind=EXIT0, value=0):
    fields = bytearray(status_fields(kind, value))
    if len(output) > 255:
        fields[0] |= 8
        fields += struct.pack("<H", len(output))
    else:
        fields.append(len(output))
    return bytes(fields) + output


def write(target, name, data):
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


def request_seeds():
    def plain(data, control=b""):
        return bytes([len(control)]) + control + data

    lines = {
        "status-lf": b"status\n",
        "status-crlf": b"status\r\n",
        "status-trailing-blanks": b"status \t \r\n",
        "status-no-line-end": b"status",
        "two-lines": b"status\nquit\n",
        "toggle-lf": b"toggle\n",
        "suspend-s0ix-crlf": b"suspend-s0ix\r\n",
        "only-spaces": b" " * 40 + b"\n",
        "only-spaces-no-lf": b"     ",
        "empty": b"",
        "line-feed-only": b"\n",
        "zero-inside": b"status\x00junk\n",
        "long-300": b"a" * 300,
        "long-300-lf": b"s" * 299 + b"\n",
        "blanks-past-255": b"status" + b" " * 294 + b"\n",
        "line-255-lf": b"status" + b" " * 249 + b"\n",
        "line-256-lf": b"status" + b" " * 250 + b"\n",
        "zero-then-word": b"s3\x00status\n",
    }
    for name, data in lines.items():
        write("request", name, plain(data))
    # How the bytes arrive.
    write("request", "chunks-2-2-3", plain(b"status\n", bytes([2, 2, 3])))
    write("request", "interrupted", plain(b"toggle\n", bytes([0, 0, 3, 0, 9])))
    write("request", "fails-midway", plain(b"status\n", bytes([3, 0xFF])))
    write("request", "times-out", plain(b"status\n", bytes([4, 0xFD])))
    write("request", "ends-early", plain(b"status\n", bytes([1, 0xFE])))
    write("request", "byte-by-byte-crlf", plain(b"awake\r\n", bytes([1] * 7)))
    write("request", "line-255-then-lf", plain(b"x" * 255 + b"\n", bytes([255, 1])))


def command_seeds():
    server, mode_s3, by_default = 2, 1, 64

    def cmd(flags, word, *children):
        return bytes([flags, len(word)]) + word + b"".join(children)

    seeds = {
        "status": cmd(server, b"status\n", child(b"NONE\n")),
        "status-crlf": cmd(server, b"status\r\n", child(b"suspend_to_idle\n")),
        "status-blanks": cmd(server, b"status  \t\n", child(b"NONE\n")),
        "status-argv": cmd(0, b"status", child(b"NONE\n")),
        "status-tool-fails": cmd(server, b"status\n",
                                 child(b"sysctl: unknown oid 'hw.acpi.lid_switch_state'\n",
                                       EXIT_CODE, 1)),
        "status-no-spawn": cmd(server, b"status\n", child(kind=SPAWN_FAILS)),
        "status-killed": cmd(server, b"status\n", child(b"NO", SIGNALLED, 9)),
        "status-long-output": cmd(server, b"status\n", child(b"x" * 300 + b"\n")),
        "toggle-from-none": cmd(server, b"toggle\n", child(b"NONE\n"), child(NEW_LIST + b"\n"),
                                child(b"NONE -> suspend_to_idle\n"),
                                child(b"suspend_to_idle\n")),
        "toggle-from-none-old-s3": cmd(server | mode_s3, b"toggle\n", child(b"NONE\n"),
                                       child(OLD_LIST + b"\n"), child(b"NONE -> s2mem\n"),
                                       child(b"s2mem\n")),
        "toggle-kernel-14": cmd(server | by_default, b"toggle\n", child(b"NONE\n"),
                                child(kind=EXIT_CODE, value=1), child(b"S1 S3 S4 S5 \n"),
                                child(b"NONE -> S3\n"), child(b"S3\n")),
        "toggle-s3-only": cmd(server | by_default, b"toggle\n", child(b"NONE\n"),
                              child(b"s2mem\n"), child(b"NONE -> s2mem\n"), child(b"s2mem\n")),
        "toggle-to-none": cmd(server | (1 << 2), b"toggle\n", child(b"suspend_to_idle\n"),
                              child(), child(b"NONE\n")),
        "toggle-write-fails": cmd(server, b"toggle\n", child(b"S3\n"),
                                  child(kind=EXIT_CODE, value=1)),
        "awake": cmd(server, b"awake\n", child(), child(b"NONE\n")),
        "s0ix-new": cmd(server, b"s0ix\n", child(NEW_LIST + b"\n"), child(),
                        child(b"suspend_to_idle\n")),
        "s3-old": cmd(server, b"s3\r\n", child(OLD_LIST + b"\n"), child(), child(b"s2mem\n")),
        "s3-missing": cmd(server, b"s3\n", child(b"awake s2idle\n")),
        "suspend-s3": cmd(server, b"suspend-s3\n", child()),
        "suspend-s3-fails": cmd(server, b"suspend-s3\n", child(kind=EXIT_CODE, value=1)),
        "suspend-s0ix": cmd(server, b"suspend-s0ix\n", child(b"fw_suspend\n"),
                            child(NEW_LIST + b"\n"), child(), child(), child()),
        "suspend-s0ix-zzz-fails": cmd(server | (2 << 2), b"suspend-s0ix\n", child(b"s2mem\n"),
                                      child(), child(kind=WAIT_FAILS), child()),
        "quit": cmd(server, b"quit\n"),
        "unknown": cmd(server, b"reboot\n"),
        "uppercase": cmd(server, b"STATUS\n"),
        "only-spaces": cmd(server, b"   \n"),
        "two-lines": cmd(server, b"status\nquit\n", child(b"NONE\n")),
        "long-line": cmd(server, b"a" * 255),
    }
    for name, data in seeds.items():
        write("command", name, data)


def sleep_types_seeds():
    def seed(word, list_text, kind=EXIT0, value=0):
        return bytes([len(word)]) + word + status_fields(kind, value) + list_text

    for word in (b"suspend_to_idle", b"s2idle", b"fw_suspend", b"s2mem"):
        name = word.decode()
        write("sleep_types", f"new-{name}", seed(word, NEW_LIST + b"\n"))
        write("sleep_types", f"old-{name}", seed(word, OLD_LIST + b"\n"))
    write("sleep_types", "glued-first", seed(b"s2idle", b"xs2idle s2idle"))
    write("sleep_types", "tab-separated", seed(b"s2mem", b"s2idle\ts2mem"))
    write("sleep_types", "crlf", seed(b"s2idle", b"awake s2mem s2idle\r\n"))
    write("sleep_types", "empty-list", seed(b"s2idle", b""))
    write("sleep_types", "tool-fails", seed(b"s2mem", OLD_LIST, EXIT_CODE, 1))
    write("sleep_types", "no-spawn", seed(b"s2mem", OLD_LIST, SPAWN_FAILS))
    write("sleep_types", "long-list", seed(b"s2idle", b"awake " * 25 + b"s2idle"))


def sysctl_seeds():
    def seed(capacity, output, read=(EXIT0,), written=(EXIT0,), name=b""):
        return (bytes([capacity - 1, len(name)]) + name + status_fields(*read) +
                status_fields(*written) + output)

    write("sysctl", "none-lf", seed(256, b"NONE\n"))
    write("sysctl", "s3-crlf", seed(64, b"S3\r\n"))
    write("sysctl", "line-ends-only", seed(64, b"\n\r\n\n"))
    write("sysctl", "stype", seed(64, b"suspend_to_idle\n"))
    write("sysctl", "list-new", seed(128, NEW_LIST + b"\n"))
    write("sysctl", "list-old", seed(128, OLD_LIST + b"\n"))
    write("sysctl", "long-300", seed(256, b"v" * 299 + b"\n"))
    write("sysctl", "capacity-1", seed(1, b"NONE\n"))
    write("sysctl", "fails-with-output", seed(256, b"NONE\n", (EXIT_CODE, 1), (EXIT_CODE, 1)))
    write("sysctl", "no-spawn", seed(64, b"", (SPAWN_FAILS,), (SPAWN_FAILS,)))
    write("sysctl", "core-flag", seed(64, b"NONE\n", (CORE_ONLY,), (CORE_ONLY,)))
    write("sysctl", "suspend-name", seed(64, b"s2mem\n", name=b"kern.power.suspend"))
    write("sysctl", "long-name", seed(64, b"NONE\n", name=b"n" * 140))


def pid_seeds():
    files = {
        "plain": b"1234\n",
        "leading-blanks": b"  42",
        "plus": b"+7\n",
        "negative": b"-5\n",
        "plus-minus": b"+-3",
        "too-big": b"99999999999\n",
        "int-max": b"\t\n 2147483647\n",
        "past-int-max": b"2147483648",
        "empty": b"",
        "letters": b"abc",
        "hex": b"0x10",
        "trailing-garbage": b" 12 garbage\n",
        "blank-only": b" \t\r\n\v\f",
        "zero-byte": b"\x0012",
    }
    for name, data in files.items():
        write("pid", name, data)


def hold_seeds():
    requests = ["hold", "holds", "release", "hold 90", "hold 90s", "hold 15m", "hold 2h",
                "hold 1d", "hold 7d", "hold 8d", "hold 0", "hold 1234567", "hold 12345678",
                "hold  5", "hold 5x", "hold ", "holdx", "hold 1H", "hold why make",
                "hold 2h why nightly build", "hold why", "hold 2h why", "hold why  x",
                "hold 2h now"]
    for r in requests:
        write("hold", r.replace(" ", "-") or "empty", r.encode())


def devd_seeds():
    messages = {
        "lid-closed": b"!system=ACPI subsystem=Lid type=\\_SB_.LID0 notify=0x00\n",
        "lid-opened": b"!system=ACPI subsystem=Lid type=\\_SB_.LID0 notify=0x01\n",
        "lid-opened-other": b"!system=ACPI subsystem=Lid type=\\_SB_.LID0 notify=0x02\n",
        "lid-no-notify": b"!system=ACPI subsystem=Lid type=\\_SB_.LID0\n",
        "on-battery": b"!system=ACPI subsystem=ACAD type=\\_SB_.AC notify=0x00\n",
        "on-ac": b"!system=ACPI subsystem=ACAD type=\\_SB_.ACAD notify=0x01\n",
        "acpi-resume": b"!system=ACPI subsystem=Resume type=\\_SB_.PWRB notify=0x02\n",
        "kern-resume": b"!system=kern subsystem=power type=resume\n",
        "kernel-resume": b"!system=kernel subsystem=power type=resume\n",
        "kern-suspend": b"!system=kern subsystem=power type=suspend\n",
        "reordered": b"!notify=0x00 subsystem=ACAD system=ACPI\n",
        "no-line-feed": b"!system=ACPI subsystem=ACAD notify=0x01",
        "duplicate-notify": b"!system=ACPI subsystem=Lid notify=0x00 notify=0x01\n",
        "double-space": b"!system=ACPI  subsystem=Lid notify=0x00\n",
        "cmbat": b"!system=ACPI subsystem=CMBAT type=\\_SB_.BAT0 notify=0x80\n",
        "ifnet": b"!system=IFNET subsystem=em0 type=LINK_UP\n",
        "attach": b"+uhid0 at bus=0 sernum=\"\" on uhub0\n",
        "nomatch": b"? at vendor=0x8086 device=0x1502 on pci0\n",
        "oversized": b"!system=ACPI subsystem=ACAD notify=0x00 pad=" + b"x" * 1000 + b"\n",
        "exactly-1024": b"!system=ACPI subsystem=ACAD notify=0x01 pad=" + b"x" * 980,
        "empty": b"",
    }
    for name, data in messages.items():
        write("devd", name, data)


def main():
    request_seeds()
    command_seeds()
    sleep_types_seeds()
    sysctl_seeds()
    pid_seeds()
    hold_seeds()
    devd_seeds()


if __name__ == "__main__":
    main()
