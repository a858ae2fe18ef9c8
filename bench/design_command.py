#!/usr/bin/python3
"""Wall time of a whole `talvek design`, with and without figures, next to a yardstick run in between.

The command designs the theatre example (Vexal64, voiced and refined, 120 x 60
coverage map, three PNG figures and report.pdf) through bin/talvek, start-up
and imports included, as a designer runs it; the same command with
--no-plots runs beside it, and the ratio of the two is what the figures and
the report cost (at most 1.6; printed last). The yardstick is a fixed job of the same kind, started
the same way: Python starts, imports numpy and does a fixed amount of dense
arithmetic and element-wise work. The two run in turn, ROUNDS times; the
ratio is taken pair by pair, so that it holds when the machine's speed drifts.
Each round also runs two yardsticks at once: one yardstick's time over half
the pair's is how many cores' work the machine does at once (2 on two free
cores; less on a virtual machine whose second core shares its host's), and
the figures, drawn while the design runs, gain only that much from drawing
in parallel.
When the venue has a room, the same venue without its room runs in each
round too, and the cost of the room (reflected sound, STI, the unsteered
column) is the ratio of the two, again pair by pair. Quote the medians.

Usage: bench/design_command.py [--rounds N] [VENUE.json]
       (TALVEK_LIBRARY and TALVEK_MODEL_DIR name the library and the models)
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
LIMIT = 1.6  # what the figures and the report may cost, as a ratio of wall times

YARDSTICK = """
import numpy as np
rng = np.random.default_rng(1)
a = rng.standard_normal((300, 300)) + 1j * rng.standard_normal((300, 300))
for _ in range(12):
    a = a @ a
    a /= np.abs(a).max()
x = rng.standard_normal(2_000_000)
for _ in range(6):
    x = np.sqrt(np.abs(np.sin(x) * 3.0 + np.log1p(np.abs(x))))
"""


def timed(argv: list[str]) -> tuple[float, float, float]:
    """Wall and CPU seconds and peak resident MiB of one run of ``argv``."""
    with tempfile.TemporaryFile() as errors:  # a file, not a pipe: a chatty child cannot block on it
        started = time.monotonic()
        child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=errors)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.monotonic() - started
        if os.waitstatus_to_exitcode(status) != 0:
            errors.seek(0)
            sys.exit(f"{' '.join(argv)} failed: {errors.read().decode(errors='replace')}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def timed_together(argv: list[str], copies: int = 2) -> float:
    """Wall seconds of ``copies`` runs of ``argv`` started at once."""
    started = time.monotonic()
    children = [subprocess.Popen(argv, stdout=subprocess.DEVNULL) for _ in range(copies)]
    if any(child.wait() != 0 for child in children):
        sys.exit(f"{' '.join(argv)} failed")
    return time.monotonic() - started


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("venue", nargs="?", default=str(REPO / "examples" / "theatre_balcony.json"))
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        out = str(Path(scratch) / "design")  # a design owns its output folder whole
        command = [str(REPO / "bin" / "talvek"), "design", args.venue, "-o", out]
        bare = command + ["--no-plots"]
        yardstick = [sys.executable, "-c", YARDSTICK]
        variants = {"no-plots": bare}
        venue = json.loads(Path(args.venue).read_text())
        if "room" in venue:  # the same design without its room, to pair the room's cost
            del venue["room"]
            bare_venue = Path(scratch) / "no_room.json"
            bare_venue.write_text(json.dumps(venue, indent=1))
            variants["no room"] = [str(REPO / "bin" / "talvek"), "design", str(bare_venue), "-o",
                                   str(Path(scratch) / "bare")]
        for warm in (command, *variants.values()):  # the page cache holds the library, archives, Python, matplotlib
            timed(warm)
        runs, sticks, pairs, others = [], [], [], {label: [] for label in variants}
        for _ in range(args.rounds):
            runs.append(timed(command))
            for label, variant in variants.items():
                others[label].append(timed(variant))
            sticks.append(timed(yardstick))
            pairs.append(timed_together(yardstick))
    median = statistics.median
    print(f"talvek design {Path(args.venue).name}, {args.rounds} rounds (median, min - max):")
    for label, rows in (("command", runs), *others.items(), ("yardstick", sticks)):
        wall = [r[0] for r in rows]
        print(f"  {label:<10} wall {median(wall):.3f} s ({min(wall):.3f} - {max(wall):.3f}), "
              f"cpu {median(r[1] for r in rows):.3f} s, peak {median(r[2] for r in rows):.0f} MiB")
    ratios = [r[0] / s[0] for r, s in zip(runs, sticks)]
    print(f"  command / yardstick, wall: {median(ratios):.3f} ({min(ratios):.3f} - {max(ratios):.3f})")
    cores = [2 * s[0] / p for s, p in zip(sticks, pairs)]
    print(f"  cores' work done at once (two yardsticks together): {median(cores):.2f} "
          f"({min(cores):.2f} - {max(cores):.2f})")
    for label, rows in others.items():
        for what, k in (("wall", 0), ("cpu", 1)):
            ratios = [r[k] / b[k] for r, b in zip(runs, rows)]
            print(f"  command / {label}, {what}: {median(ratios):.3f} ({min(ratios):.3f} - {max(ratios):.3f})")
    ratios = [r[0] / b[0] for r, b in zip(runs, others["no-plots"])]
    verdict = "within" if median(ratios) <= LIMIT else "above"
    print(f"figures and report.pdf: the design with them takes {median(ratios):.2f} times the --no-plots design "
          f"(wall, median of {len(ratios)} pairs; {verdict} the {LIMIT} aimed at)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
