"""Reading a driver's directivity from a CSV file.

One header line naming the columns ``frequency,angle,real,imag`` (any order,
any case), then one row per frequency (Hz) and angle (degrees from the axis
in the vertical plane, positive upwards) with the complex pressure at 1 m for
1 V RMS, Pa, referred to the driver's acoustic centre (no propagation delay).
Every frequency must carry the same angles. Limits: 16 MiB, 1 Mi rows.
"""

from __future__ import annotations

import csv
import math
import os

import numpy as np

__all__ = ["MAX_BYTES", "MAX_ROWS", "CsvError", "read_csv"]

MAX_BYTES = 16 << 20
MAX_ROWS = 1 << 20
COLUMNS = ("frequency", "angle", "real", "imag")


class CsvError(ValueError):
    """A CSV file that cannot be used: ``line`` (or None), ``field`` and ``problem``."""

    def __init__(self, line, field: str, problem: str):
        super().__init__(problem)
        self.line, self.field, self.problem = line, field, problem


def read_csv(path: str | os.PathLike):
    """Frequencies (N,) Hz, angles (A,) degrees and data (N, A) complex, both ascending.

    Raises
    ------
    CsvError
    OSError, UnicodeDecodeError
        When the file cannot be read at all.
    """
    size = os.path.getsize(path)
    if size > MAX_BYTES:
        raise CsvError(None, "", f"{size / 2**20:.0f} MiB is beyond the limit of {MAX_BYTES >> 20} MiB")
    with open(path, newline="", encoding="utf-8") as f:
        rows = csv.reader(f)
        header = [h.strip().lower() for h in next(rows, [])]
        missing = [c for c in COLUMNS if c not in header]
        if missing:
            raise CsvError(1, missing[0], f"the header lacks the column {missing[0]!r} "
                           f"(expected {','.join(COLUMNS)})")
        where = [header.index(c) for c in COLUMNS]
        table: dict[float, dict[float, complex]] = {}
        first_line: dict[float, int] = {}
        for line, row in enumerate(rows, start=2):
            if not row or all(not cell.strip() for cell in row):
                continue
            if line > MAX_ROWS + 1:
                raise CsvError(line, "", f"more than {MAX_ROWS} rows")
            try:
                fr, an, re, im = (float(row[k]) for k in where)
            except (IndexError, ValueError):
                raise CsvError(line, "", f"expected four numbers {','.join(COLUMNS)}, got {','.join(row)[:40]!r}") \
                    from None
            for name, v in zip(COLUMNS, (fr, an, re, im)):
                if not math.isfinite(v):
                    raise CsvError(line, name, f"{v} is not a finite number")
            angles = table.setdefault(fr, {})
            first_line.setdefault(fr, line)
            if an in angles:
                raise CsvError(line, "angle", f"frequency {fr:g} Hz has angle {an:g} twice")
            angles[an] = complex(re, im)
    if not table:
        raise CsvError(None, "", "no data rows")
    all_angles = sorted(set().union(*table.values()))
    for fr in sorted(table):
        lacking = [a for a in all_angles if a not in table[fr]]
        if lacking:
            raise CsvError(first_line[fr], "angle", f"frequency {fr:g} Hz lacks angle {lacking[0]:g} degrees "
                           f"({len(lacking)} of the {len(all_angles)} angles missing)")
    freq = np.array(sorted(table))
    data = np.array([[table[fr][a] for a in all_angles] for fr in freq])
    return freq, np.array(all_angles), data
