#!/usr/bin/env python3
"""The benchmark's arithmetic and its table.

  report.py counts FILE      the allocation counts the preloaded counter
                             keeps in FILE, as key value lines
  report.py table RESULTS    the table, from the key value lines bench/run
                             collected; exits 3 when a figure misses its goal
"""

import struct
import sys

COUNT_FIELDS = ("magic", "pid", "malloc", "calloc", "realloc", "aligned", "free")
MAGIC = 0x746E756F636C6C61

RATIO_GOAL = 1.15
SILENT_RATIO_GOAL = 1.2
ATTACK_RATIO_GOAL = 1.3
STREAM_CPU_GOAL = 5.0
LATE_GOAL_MS = 100
CTL_GOAL = 1.0
RSS_GOAL_KIB = 2048
TIMED_HOLD_GOAL = 2
WATCH_LATENCY_GOAL_MS = 5.0


def counts(path):
    with open(path, "rb") as f:
        raw = f.read(8 * len(COUNT_FIELDS))
    if len(raw) != 8 * len(COUNT_FIELDS):
        sys.exit(f"report.py: {path}: too short for the counts")
    values = dict(zip(COUNT_FIELDS, struct.unpack("<7Q", raw)))
    if values["magic"] != MAGIC:
        sys.exit(f"report.py: {path}: not written by the allocation counter")
    values["allocations"] = sum(values[k] for k in ("malloc", "calloc", "realloc", "aligned"))
    for key in COUNT_FIELDS[1:] + ("allocations",):
        print(key, values[key])


def read_results(path):
    results = {}
    with open(path) as f:
        for line in f:
            key, _, value = line.strip().partition(" ")
            if key:
                results[key] = value
    return results


def ratio_rows(num, row, key, label, goal=RATIO_GOAL):
    """A status round trip against bare runs of the same rounds, with KEY's
    figures, LABEL naming what was connected meanwhile."""
    ratio = num(f"{key}_ratio_median")
    row(f"status round trip / bare, {label}", f"{ratio:.3f}x", f"<= {goal:.2f}x", ratio <= goal)
    row(f"  status round trip, {label}", f"{num(f'{key}_status_us_median'):.1f} us")
    row("  bare sysctl -n run, same rounds", f"{num(f'{key}_bare_us_median'):.1f} us")


def watch_rows(num, row, switches):
    """The figures with watchers connected to the service that follows devd."""
    ratio_rows(num, row, "watch", "8 watchers")
    switches("watch_idle", "idle, 8 watchers", 0)
    latency = num("watch_latency_ms_median")
    row(f"devd lid event to 8 watchers, median of {int(num('watch_latency_events'))}",
        f"{latency:.2f} ms", f"<= {WATCH_LATENCY_GOAL_MS:.0f} ms",
        latency <= WATCH_LATENCY_GOAL_MS)
    latency = num("json_latency_ms_median")
    row(f"the same, out of 8 vantrelctl watch -j, median of {int(num('json_latency_events'))}",
        f"{latency:.2f} ms", f"<= {WATCH_LATENCY_GOAL_MS:.0f} ms",
        latency <= WATCH_LATENCY_GOAL_MS)


def table(path):
    r = read_results(path)

    def num(key):
        try:
            return float(r[key])
        except KeyError:
            sys.exit(f"report.py: no {key} in {path}")

    rows = []
    missed = []

    def row(what, figure, goal="", passed=None):
        verdict = "" if passed is None else ("PASS" if passed else "MISS")
        if passed is False:
            missed.append(what)
        rows.append((what, figure, goal, verdict))

    ratio = num("status_ratio_median")
    row("status round trip / bare sysctl run", f"{ratio:.3f}x", f"<= {RATIO_GOAL:.2f}x",
        ratio <= RATIO_GOAL)
    row("  status round trip", f"{num('status_us_median'):.1f} us")
    row("  bare sysctl -n run", f"{num('bare_us_median'):.1f} us")
    row("toggle round trip / 3 bare runs", f"{num('toggle_ratio_median'):.3f}x")
    row("  toggle round trip", f"{num('toggle_us_median'):.1f} us")
    row("  read + write + read-back, bare", f"{num('triple_us_median'):.1f} us")
    row("vantrel status x / 1 bare run", f"{num('direct_ratio_median'):.3f}x")
    row("  vantrel status x", f"{num('direct_us_median'):.1f} us")
    ctl = num("ctl_ratio_median")
    row("vantrelctl status / nc -U", f"{ctl:.3f}x", f"<= {CTL_GOAL:.2f}x", ctl <= CTL_GOAL)
    row("  vantrelctl status", f"{num('ctl_us_median'):.1f} us")
    row("  nc -U SOCKET < file", f"{num('nc_us_median'):.1f} us")
    row("throughput, sequential status", f"{num('throughput_rps'):.0f} req/s")
    def switches(prefix, label, goal=None):
        count = int(num(f"{prefix}_switches"))
        figure = (f"{count} ({int(num(f'{prefix}_voluntary'))}"
                  f"+{int(num(f'{prefix}_nonvoluntary'))})")
        what = f"context switches, {int(num(f'{prefix}_seconds'))} s {label}"
        if goal is None:
            row(what, figure)
        else:
            row(what, figure, "0" if goal == 0 else f"<= {goal}", count <= goal)

    switches("idle", "idle", 0)
    ratio_rows(num, row, "held", "16 bound holds")
    switches("held_idle", "idle, 16 bound holds", 0)
    switches("timed", f"from one hold {int(num('timed_hold_seconds'))}s", TIMED_HOLD_GOAL)
    ratio_rows(num, row, "silent", "31 silent connections", SILENT_RATIO_GOAL)
    late = num("silent_late_ms")
    row(f"a {int(num('silent_late_hold_seconds'))}s hold ends late by, 31 silent connections",
        f"{late:.1f} ms", f"<= {LATE_GOAL_MS} ms", late <= LATE_GOAL_MS)
    ratio_rows(num, row, "attack", "a member at its shares", ATTACK_RATIO_GOAL)
    cpu = num("stream_cpu_percent")
    row(f"service CPU, {int(num('stream_seconds'))} s of a streaming holder", f"{cpu:.2f} %",
        f"<= {STREAM_CPU_GOAL:.0f} %", cpu <= STREAM_CPU_GOAL)
    switches("devd_idle", "idle, devd followed (settings)", 0)
    switches("devd_held_idle", "idle, same, 16 bound holds", 0)
    switches("absent_held_idle", "idle, 16 bound holds, no devd")
    watch_rows(num, row, switches)
    switches("floor_idle", "idle, battery floor, on the charger", 0)
    switches("floor_held", "on battery, floor, one hold, from 1 s after it", 0)
    switches("heat_idle", "idle, heat limit, lid closed, no hold", 0)
    switches("docked_idle", "idle, docked set, a display plugged", 0)
    reads = int(num("hotplug_reads"))
    row(f"display reads for a burst of {int(num('hotplug_events'))} HOTPLUG events", str(reads),
        "1", reads == 1)
    rss = num("rss_hwm_kib")
    row("peak RSS (VmHWM), after the holds", f"{rss / 1024:.2f} MiB",
        f"<= {RSS_GOAL_KIB // 1024} MiB", rss <= RSS_GOAL_KIB)
    row("  without settings", f"{num('rss_plain_kib') / 1024:.2f} MiB")
    row("  following devd (settings)", f"{num('rss_devd_kib') / 1024:.2f} MiB")
    allocations = int(num("heap_allocations"))
    row(f"heap allocations, {int(num('heap_requests'))} + {int(num('heap_hold_requests'))} "
        "requests", str(allocations), "0", allocations == 0)
    row("  of them in the rounds of holds",
        str(int(num("heap_hold_requests"))))
    row("  frees, same requests", str(int(num("heap_frees"))))
    row("  allocations at start-up (counter live)", str(int(num("heap_startup_allocations"))))

    rounds, per_round = int(num("rounds")), int(num("per_round"))
    print(f"vantrel on the simulated machine: medians of {rounds} interleaved rounds, "
          f"{per_round} operations each")
    width = max(len(w) for w, *_ in rows)
    print(f"{'measure':<{width}}  {'figure':>14}  {'goal':<10}  result")
    for what, figure, goal, verdict in rows:
        print(f"{what:<{width}}  {figure:>14}  {goal:<10}  {verdict}".rstrip())
    print("per-round status ratios:", r.get("status_ratio_all", "").strip())
    print("per-round status ratios, 16 bound holds:", r.get("held_ratio_all", "").strip())
    print("per-round status ratios, 31 silent connections:",
          r.get("silent_ratio_all", "").strip())
    print("per-round status ratios, a member at its shares:",
          r.get("attack_ratio_all", "").strip())
    print("per-round vantrelctl/nc ratios:", r.get("ctl_ratio_all", "").strip())
    print("per-round status ratios, 8 watchers:", r.get("watch_ratio_all", "").strip())
    print("lid event to 8 watchers, ms:", r.get("watch_latency_ms_all", "").strip())
    print("lid event out of 8 vantrelctl watch -j, ms:",
          r.get("json_latency_ms_all", "").strip())
    if missed:
        print("missed:", "; ".join(m.strip() for m in missed))
        sys.exit(3)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "counts":
        counts(sys.argv[2])
    elif len(sys.argv) == 3 and sys.argv[1] == "table":
        table(sys.argv[2])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
