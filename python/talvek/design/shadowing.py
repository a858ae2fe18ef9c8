"""Venue tables without inactive lines in front of active ones.

The optimiser turns every line into directions as seen from the column and,
where two lines cross the same direction, keeps the nearer one. An inactive
line is left out of the fit (or asked for silence), so an inactive line in
front of an active one (a standing area above seats, a walkway over a lower
tier) takes the active line's directions out of the fit altogether: the
seats behind it are never steered for. The host asks the optimiser for the
inactive lines less the stretches that lie in an active line's directions;
elsewhere they stay as the venue gives them.
"""

from __future__ import annotations

import math

import numpy as np

from ..analysis import column_centre
from ..venue import Venue

__all__ = ["elevation_deg", "unshadowed"]

SAMPLES = 401          # points along an inactive line at which its elevation is tested
# A cut reaches this far beyond the active line's directions: two steps of the optimiser's
# angle grid, and the driver sections, whose centres differ from the column's, see the
# line's ends a little apart.
MARGIN_DEG = 0.5


def elevation_deg(venue: Venue, x, z) -> np.ndarray:
    """Elevation of points from the centre of the column's driver sections in the column's frame, degrees."""
    cx, cz = column_centre(venue)
    t = math.radians(venue.tilt)
    dx, dz = np.asarray(x, dtype=float) - cx, np.asarray(z, dtype=float) - cz
    forward = dx * math.cos(t) + dz * math.sin(t)
    up = dz * math.cos(t) - dx * math.sin(t)
    return np.degrees(np.arctan2(up, forward))


def unshadowed(venue: Venue, table) -> np.ndarray:
    """``table`` (rows x1, x2, z1, z2, level1, level2, active) with each inactive row cut where
    it lies in the directions of an active row, and ``MARGIN_DEG`` beyond; a row may become
    several, or none. A line that only meets an active one at an end is kept whole, and
    active rows are kept as they are, in order."""
    table = np.asarray(table, dtype=float)
    active = table[:, 6] != 0
    spans = []
    for x1, x2, z1, z2 in table[active][:, :4]:
        e = elevation_deg(venue, [x1, x2], [z1, z2])
        spans.append((e.min(), e.max()))
    rows = []
    for row in table:
        if row[6] != 0 or not spans:
            rows.append(row)
            continue
        t = np.linspace(0.0, 1.0, SAMPLES)
        x, z = row[0] + t * (row[1] - row[0]), row[2] + t * (row[3] - row[2])
        e = elevation_deg(venue, x, z)
        if all(np.all((e <= low) | (e >= high)) for low, high in spans):
            rows.append(row)
            continue
        free = np.ones(SAMPLES, bool)
        for low, high in spans:
            free &= (e < low - MARGIN_DEG) | (e > high + MARGIN_DEG)
        # Each run of free samples (at least two) becomes a row of its own.
        edges = np.flatnonzero(np.diff(np.concatenate([[0], free.astype(int), [0]])))
        for start, stop in zip(edges[::2], edges[1::2]):
            if stop - start >= 2:
                a, b = start, stop - 1
                rows.append([x[a], x[b], z[a], z[b], row[4], row[5], 0.0])
    return np.array(rows)
