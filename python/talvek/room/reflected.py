"""The reflected sound of a room by Barron's revised theory.

A diffuse room of volume V and reverberation time T, fed with sound power
level Lw, holds at distance r from the source a reflected energy (early and
late reflections together)

    L_r = Lw - 31 + 10 log10(31200 T / V * exp(-0.04 r / T))  dB,

which at the source is Sabine's diffuse field Lw + 10 log10(24.8 T / V)
(31200 / 10^3.1 = 24.8, and 24.8 T / V = 4 / A with Sabine's absorption area
A = 0.161 V / T). The reflected energy falls with distance because the
direct sound reaches a far listener later, when the room has already lost
part of what it holds: 0.04 r / T = 13.8 (r / c) / T, the decay over the
direct sound's travel time. The room has no geometry here: no discrete
echoes, no focusing, one statistical field.
"""

from __future__ import annotations

import numpy as np

__all__ = ["reflected_level_db"]


def reflected_level_db(power_level_db, volume: float, rt60, distance) -> np.ndarray:
    """Reflected level, dB SPL.

    Parameters
    ----------
    power_level_db : (B,) array_like
        Source's sound power level per band, dB re 1 pW.
    volume : float
        Room volume, m^3.
    rt60 : (B,) array_like
        Reverberation time per band, s.
    distance : (P,) array_like
        Source-listener distances, m.

    Returns
    -------
    (B, P) ndarray
    """
    Lw = np.asarray(power_level_db, dtype=float)[:, None]
    T = np.asarray(rt60, dtype=float)[:, None]
    r = np.asarray(distance, dtype=float)[None, :]
    return Lw - 31.0 + 10.0 * np.log10(31200.0 * T / volume) - 10.0 * np.log10(np.e) * 0.04 * r / T

