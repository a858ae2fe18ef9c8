"""How much of its sound a column sends to each audience line directly, against what it sends into the room.

In a room the reflected level at a seat follows the column's radiated power
(:mod:`.reflected`) and the direct level follows the pattern towards the seat.
So per octave band, the mean direct level along a line less the column's
sound power level is the design's direct-to-reflected ratio along that line,
up to the room's own terms (volume, reverberation time, distance), which are
the same for every design of the column. It does not depend on the design's
gain, so designs can be compared by it before they are voiced, and against
the same column unsteered (every channel of a section the same flat,
in-phase response): refinement uses it to keep a design from buying a better
level shape along the audience with sound sent to the ceiling and the walls.
"""

from __future__ import annotations

from dataclasses import replace

import numpy as np

from ..api import SFIORecord, Talvek
from ..venue import Venue

__all__ = ["flat_record", "line_ratios_db", "unsteered_ratios_db", "excess_db"]


def flat_record(record: SFIORecord) -> SFIORecord:
    """The record with every channel of each section the same flat, in-phase response: the column unsteered."""
    return replace(record, wf=np.ones_like(record.wf), tw=np.ones_like(record.tw), venue=dict(record.venue))


def line_ratios_db(direct_db, line_of_point, power_level_db) -> np.ndarray:
    """Per band and line, the mean direct level along the line less the radiated power level, dB.

    Parameters
    ----------
    direct_db : (B, P) array_like
        Direct level per band at the audience points, dB SPL (any common gain).
    line_of_point : (P,) array_like of int
        The line of each point, 0 .. L - 1.
    power_level_db : (B,) array_like
        The sound power level per band at the same gain, dB.

    Returns
    -------
    (B, L) ndarray
    """
    direct = np.asarray(direct_db, dtype=float)
    line = np.asarray(line_of_point)
    means = np.stack([direct[:, line == k].mean(axis=1) for k in range(int(line.max()) + 1)], axis=1)
    return means - np.asarray(power_level_db, dtype=float)[:, None]


def unsteered_ratios_db(tv: Talvek, record: SFIORecord, measure):
    """``measure()`` of the column unsteered; the library ends holding ``record`` again, designed afresh.

    ``measure`` is called with the unsteered column as the library's current
    design and returns the figures wanted of it (line ratios, for one).
    """
    tv.redesign(flat_record(record))
    try:
        return measure()
    finally:
        tv.redesign(record)


def excess_db(ratios, reference) -> np.ndarray:
    """Per band, by how many dB the worst line's ratio falls short of the reference's on the same line, (B,).

    Negative where every line gets more of the column's power directly than
    with the reference.
    """
    return np.max(np.asarray(reference, dtype=float) - np.asarray(ratios, dtype=float), axis=1)
