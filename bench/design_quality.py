#!/usr/bin/python3
"""Design quality of every example venue: how closely the levels meet the targets.

Designs each venue in examples/ and bench/venues/ (or the files named) the way
``talvek design`` does, without plots and on a coarse coverage grid, and prints per venue and
octave band the RMS and the worst deviation from target along the active
audience (dB; for a venue of several columns the system's, overlap included),
and the headroom left at the targets (the library's figure, and each section's
taken frequency by frequency): for the library's design as
optimised and for the voiced design, and with a room the STI per audience line
beside the unsteered column's. Not a timed benchmark. The venues in bench/venues/
were written after the room's prediction and the air's absorption were added,
and were not tuned for: they check that the figures hold on venues the design
was not developed on.

Usage: bench/design_quality.py [VENUE.json ...]
       (TALVEK_LIBRARY and TALVEK_MODEL_DIR name the library and the models)
"""

import argparse
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "python"))

from talvek.design import pipeline  # noqa: E402
from talvek.design.system import design_system  # noqa: E402
from talvek.analysis import OCTAVE_BANDS  # noqa: E402
from talvek.api import Talvek  # noqa: E402
from talvek.venue import load_venue  # noqa: E402


def row(label: str, rep: dict) -> str:
    cells = "".join(f" {b['rms_db']:4.1f}/{b['worst_db']:+5.1f}" for b in rep["bands"])
    sections = rep.get("section_headroom_at_targets_db") or {}
    each = ", ".join(f"{k} {v:+.1f}" for k, v in sections.items())
    return f"  {label:<10}{cells}   {rep['headroom_at_targets_db']:+6.1f}" + (f"  ({each})" if each else "")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("venues", nargs="*", help="venue files (default: every examples/*.json)")
    args = parser.parse_args()
    venues = [Path(v) for v in args.venues] or sorted((REPO / "examples").glob("*.json")) + sorted(
        (REPO / "bench" / "venues").glob("*.json"))
    tv = Talvek()
    header = "".join(f" {f'{fc / 1000:g}k' if fc >= 1000 else f'{fc:g}':>10}" for fc in OCTAVE_BANDS)
    print(f"  {'':<10}{header}   headroom at targets, dB (frequency by frequency per section)")
    print(f"  {'':<10}{'  RMS/worst, dB' * 1:>11}")
    with tempfile.TemporaryDirectory() as tmp:
        for path in venues:
            venue = load_venue(path)
            started = time.monotonic()
            if venue.is_system:
                folder = Path(tmp) / path.stem
                folder.mkdir()
                rep = design_system(tv, venue, folder, path.stem, grid=(4, 4))
                print(f"{venue.name} ({path.name}, {len(venue.columns)} columns, {time.monotonic() - started:.0f} s)")
                print(f"  {'system':<10}" + "".join(f" {b['rms_db']:4.1f}/{b['worst_db']:+5.1f}" for b in rep["bands"]))
                for line in (rep.get("room") or {}).get("lines", []):
                    print(f"  STI {line['name']}: {line['sti_mean']:.2f} (min {line['sti_min']:.2f})")
                continue
            rep = pipeline.design_venue(tv, venue, Path(tmp), path.stem, grid=(4, 4))
            took = time.monotonic() - started
            print(f"{venue.name} ({path.name}, {venue.model.name}, {took:.0f} s)")
            print(row("optimised", rep["voicing"]["before"]))
            print(row("voiced", rep))
            for line in (rep.get("room") or {}).get("lines", []):
                print(f"  STI {line['name']}: {line['sti_mean']:.3f} (min {line['sti_min']:.3f}), unsteered "
                      f"{line['sti_unsteered_mean']:.3f} (min {line['sti_unsteered_min']:.3f})")
            for note in rep.get("limits", []):
                print(f"  note: {note}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
