"""One column's sound at points of the system's section, in front of it and behind it.

In front of the column's front plane the library predicts the field
(``Talvek_Greens``) in the column's own coordinates. Behind it, the cabinet
radiates what diffracts round it (:mod:`talvek.room.radiation`): in the vertical
plane, azimuth 180 degrees, p^2 = V(el) R(f, 90 deg - |el|) / D^2(el), where V(el)
is the field in front at the same elevation and distance (the point mirrored in
the front plane, which passes through the centre of the driver sections, so the
distance is the same), R the rear factor at the angle behind the front plane
(the room's sound power uses the same one) and D the driver's piston pattern.
R is the front value on the plane, so a listener crossing it hears no step.
Every level is less the air's absorption over the distance to the centre.
"""

from __future__ import annotations

import math

import numpy as np

from .. import analysis
from ..api import Talvek
from ..room import radiation
from ..venue import ColumnPlacement, Venue
from .placement import to_local

__all__ = ["column_power"]


def column_power(tv: Talvek, venue: Venue, column: ColumnPlacement, x, z, first: int, last: int, *,
                 chunk: int = 1500) -> np.ndarray:
    """Squared pressure of the library's current design (the column's) at system points, Pa^2, (N, P).

    ``venue`` is the column's own (:func:`talvek.system.placement.column_venue`);
    ``first``, ``last`` the 1-based model frequency range.
    """
    freq = tv.frequencies()[first - 1:last]
    xl = to_local(column, x)
    z = np.asarray(z, dtype=float)
    t = math.radians(column.tilt)
    normal = xl * math.cos(t) + (z - column.height) * math.sin(t)
    behind = normal < 0
    px = np.where(behind, xl - 2.0 * normal * math.cos(t), xl)
    pz = np.where(behind, z - 2.0 * normal * math.sin(t), z)
    power = np.empty((freq.size, px.size))
    for start in range(0, px.size, chunk):
        part = slice(start, min(start + chunk, px.size))
        power[:, part] = tv.greens(px[part], pz[part], height=column.height, tilt=column.tilt, first=first,
                                   last=last)[0]
    if behind.any():
        cx, cz = analysis.column_centre(venue)
        vx, vz = px[behind] - cx, pz[behind] - cz
        el = np.arctan2(-vx * math.sin(t) + vz * math.cos(t), vx * math.cos(t) + vz * math.sin(t))
        ka = 2.0 * math.pi * freq / radiation.SPEED_OF_SOUND * radiation.driver_radius(freq, column.model)
        # The same floor as the sphere integral's: a piston's null is not a hole in the rear sound.
        pattern = np.maximum(radiation.piston(ka[:, None], np.sin(el)[None, :]) ** 2, 1e-6)
        rear = radiation.rear_factor(freq, column.model, 0.5 * math.pi - np.abs(el))
        power[:, behind] *= rear / pattern
    return power * analysis.air_factor(venue, freq, xl, z)
