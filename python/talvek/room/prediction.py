"""The room's figures of a design: speech levels, reflected sound and STI at every seat.

A design's prediction (:func:`talvek.analysis.predict`, direct sound less the
air) gives the level per octave band at every point for the processor's
reference signal at the volume that meets the targets. Speech is played at
that volume with the male test spectrum, so that its A-weighted direct level
is the target wherever the design meets it: the speech's direct level in band
b is the predicted band level plus the spectrum's level S_b relative to the
A-weighted total. The column's radiated power per band (:mod:`.radiation`)
feeds the room's reflected level (:mod:`.reflected`), and the two with the
noise give the STI (:mod:`.sti`).

The same column unsteered (every channel of a section the same flat
response, designed by the library from a flat record) is predicted for
comparison, with each band's mean level over the active audience made equal
to the steered design's (the same octave equalisation an installer would
set), so that only the steering differs. The library holds one design at a
time: the steered one is designed again from its record before returning.
"""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass

import numpy as np

from .. import analysis
from ..api import Talvek
from ..venue import Venue
from . import radiation, reflected, sti as sti_
from .air import absorption_db_per_m, octave_midbands
from .direct_share import flat_record

__all__ = ["RoomLine", "RoomPrediction", "room_prediction", "room_report", "room_notes", "room_band_levels",
           "radiated_power_db",
           "ARC_RADIUS_M"]

ARC_RADIUS_M = 20.0       # m, at least; the arc on which the vertical pattern is sampled
ARC_STEP_DEG = 1.0        # patterns at 20 m are smooth on it: 0.25 degrees gives the same power within 0.01 dB
STI_GOAL = 0.50           # voice alarm systems' usual requirement


@dataclass
class RoomLine:
    """The room's figures along one audience line (the points of its LinePrediction)."""

    sti: np.ndarray              # (P,)
    sti_unsteered: np.ndarray    # (P,)
    direct_db: np.ndarray        # (7, P) speech's direct level per octave band, dB SPL
    reflected_db: np.ndarray     # (7, P) its reflected level, dB SPL
    sti_unmasked: np.ndarray | None = None    # (P,) without auditory masking and reception threshold
    distance_m: np.ndarray | None = None      # (P,) to the centre of the driver sections
    direct_unsteered_db: np.ndarray | None = None   # (7, P) the unsteered column's direct speech level


@dataclass
class RoomPrediction:
    bands_hz: tuple                 # (125, ..., 8000)
    lines: list                     # list[RoomLine], parallel to Prediction.lines
    sti_map: np.ndarray             # (nz, nx) on Prediction.grid_z x Prediction.grid_x
    sti_map_unsteered: np.ndarray   # (nz, nx)
    rt60_s: tuple = ()              # (7,)
    noise_db: tuple | None = None   # (7,) or None
    power_level_db: np.ndarray | None = None             # (7,) speech's radiated power level, dB re 1 pW
    power_level_unsteered_db: np.ndarray | None = None   # (7,)
    volume_m3: float = 0.0


def radiated_power_db(tv: Talvek, venue: Venue, gain_db: float, *, step_deg: float = ARC_STEP_DEG,
                      bands=analysis.ROOM_BANDS) -> np.ndarray:
    """Sound power level per band of the current design for the reference signal, dB re 1 pW.

    ``bands`` are octave-band centres (default the room's seven). The vertical pattern is sampled by the library on an arc round the centre
    of the driver sections, in the column's own frame (elevation from its
    forward normal), every ``step_deg`` degrees; the rest of the sphere follows
    :mod:`.radiation`. The air is left out: it takes its share on the way to
    each listener, and the room's reverberation time already holds it.
    """
    freq_all = tv.frequencies()
    low, last = analysis.analysed_range(freq_all, bands)
    freq = freq_all[low - 1:last]
    radius = max(ARC_RADIUS_M, 4.0 * venue.model.column_length)
    # The arc ends a hair inside the plane of the baffle, which the library counts as in front.
    el = np.radians(np.arange(-90.0 + step_deg / 2, 90.0, step_deg))
    t = math.radians(venue.tilt)
    cx, cz = analysis.column_centre(venue)
    forward = radius * np.cos(el)
    up = radius * np.sin(el)
    x = cx + forward * math.cos(t) - up * math.sin(t)
    z = cz + forward * math.sin(t) + up * math.cos(t)
    vertical, _ = tv.greens(x, z, height=venue.height, tilt=venue.tilt, first=low, last=last)
    factor = _horizontal_factor(venue.model, tuple(freq), float(step_deg))
    power = radiation.sphere_power(vertical * 10 ** (gain_db / 10), el, radius, None, None, factor=factor)
    return analysis.spl_db(analysis.band_power(freq, power, bands))


@functools.lru_cache(maxsize=4)
def _horizontal_factor(model, freq: tuple, step_deg: float) -> np.ndarray:
    """:func:`radiation.horizontal_factor` of ``model``'s drivers on the arc of ``step_deg``: it depends
    on the column alone, and a design asks for it once per design it compares."""
    freq = np.array(freq)
    el = np.radians(np.arange(-90.0 + step_deg / 2, 90.0, step_deg))
    ka = 2.0 * math.pi * freq / radiation.SPEED_OF_SOUND * radiation.driver_radius(freq, model)
    factor = radiation.horizontal_factor(ka, lambda behind: radiation.rear_factor(freq, model, behind), el)
    factor.setflags(write=False)
    return factor


def room_band_levels(tv: Talvek, venue: Venue, x, z, *, chunk: int = 2000) -> np.ndarray:
    """Levels of the current design in the room's bands at points, air included, dB SPL, (7, P)."""
    freq_all = tv.frequencies()
    low, last = analysis.analysed_range(freq_all, analysis.ROOM_BANDS)
    freq = freq_all[low - 1:last]
    x, z = np.asarray(x, dtype=float), np.asarray(z, dtype=float)
    power = np.empty((freq.size, x.size))
    for start in range(0, x.size, chunk):
        part = slice(start, min(start + chunk, x.size))
        power[:, part] = tv.greens(x[part], z[part], height=venue.height, tilt=venue.tilt, first=low, last=last)[0]
    power *= analysis.air_factor(venue, freq, x, z)
    return analysis.spl_db(analysis.band_power(freq, power, analysis.ROOM_BANDS))


def _speech_sti(direct_ref_db, distance, power_db, room, *, unmasked: bool = False):
    """Speech's direct and reflected levels and the STI (and, asked for, the STI without masking) at points."""
    spectrum = np.asarray(sti_.MALE_SPECTRUM_DB)
    direct = direct_ref_db + spectrum[:, None]
    refl = reflected.reflected_level_db(power_db + spectrum, room.volume, room.rt60, distance)
    full = sti_.sti(direct, refl, room.noise, room.rt60)
    bare = sti_.sti(direct, refl, room.noise, room.rt60, masking=False, threshold=False) if unmasked else None
    return direct, refl, full, bare


def _every_other(n: int) -> np.ndarray:
    """Every other index of n grid lines, the last one included."""
    k = np.arange(0, n, 2)
    return k if k[-1] == n - 1 else np.append(k, n - 1)


def _interpolated(coarse: np.ndarray, kx: np.ndarray, kz: np.ndarray, nx: int, nz: int) -> np.ndarray:
    """(B, nz, nx) from values on grid lines kz x kx, linear along each axis in turn; (B, nz * nx)."""
    along_x = np.stack([[np.interp(np.arange(nx), kx, row) for row in band] for band in coarse])
    out = np.stack([np.stack([np.interp(np.arange(nz), kz, col) for col in band.T], axis=1) for band in along_x])
    return out.reshape(coarse.shape[0], -1)


def room_prediction(tv: Talvek, venue: Venue, pred: analysis.Prediction) -> RoomPrediction:
    """The room's figures of the current design, whose prediction is ``pred`` (made with the room).

    Leaves the library holding the design it held (designed again from its record).
    """
    room = venue.room
    nz, nx = pred.grid_z.size, pred.grid_x.size
    mx, mz = np.meshgrid(pred.grid_x, pred.grid_z)
    map_distance = analysis.distance_to_column(venue, mx.ravel(), mz.ravel())
    power = radiated_power_db(tv, venue, pred.offset_db)

    sizes = [lp.x.size for lp in pred.lines]
    record = tv.record()
    tv.redesign(flat_record(record))
    try:
        # The unsteered map on every other grid line, interpolated: a column without steering has
        # no sharp notches over the section to lose, and this is most of the room's cost.
        kx, kz = _every_other(nx), _every_other(nz)
        cx, cz = np.meshgrid(pred.grid_x[kx], pred.grid_z[kz])
        levels = room_band_levels(tv, venue, np.concatenate([lp.x for lp in pred.lines] + [cx.ravel()]),
                                  np.concatenate([lp.z for lp in pred.lines] + [cz.ravel()]))
        flat_lines = np.split(levels[:, :sum(sizes)], np.cumsum(sizes)[:-1], axis=1)
        flat_map = _interpolated(levels[:, sum(sizes):].reshape(7, kz.size, kx.size), kx, kz, nx, nz)
        flat_power = radiated_power_db(tv, venue, 0.0)
    finally:
        tv.redesign(record)
    # Each band's mean over the active audience as the steered design's.
    active = [k for k, lp in enumerate(pred.lines) if lp.line.active]
    steered_mean = np.mean(np.concatenate([pred.lines[k].room_band_spl for k in active], axis=1), axis=1)
    eq = steered_mean - np.mean(np.concatenate([flat_lines[k] for k in active], axis=1), axis=1)
    flat_power = flat_power + eq

    lines = []
    for lp, fl in zip(pred.lines, flat_lines):
        r = analysis.distance_to_column(venue, lp.x, lp.z)
        direct, refl, full, bare = _speech_sti(lp.room_band_spl, r, power, room, unmasked=True)
        flat_direct, _, unsteered, _ = _speech_sti(fl + eq[:, None], r, flat_power, room)
        lines.append(RoomLine(full, unsteered, direct, refl, bare, r, flat_direct))
    sti_map = _speech_sti(pred.room_coverage.reshape(7, -1), map_distance, power, room)[2].reshape(nz, nx)
    sti_flat = _speech_sti(flat_map + eq[:, None], map_distance, flat_power, room)[2].reshape(nz, nx)
    return RoomPrediction(analysis.ROOM_BANDS, lines, sti_map, sti_flat, tuple(room.rt60), room.noise,
                          power + np.asarray(sti_.MALE_SPECTRUM_DB),
                          flat_power + np.asarray(sti_.MALE_SPECTRUM_DB), room.volume)


def room_notes(pred: analysis.Prediction) -> list[str]:
    """One sentence per active line whose mean STI does not beat the unsteered column's, with why.

    At the same mean level over the audience, an unsteered column whose beam
    lands on one line plays it above its target, and another below: it hears
    more direct sound there against the same room. The sentence gives the
    direct speech level against the target, per active line, of both columns.
    """
    rp = pred.room
    active = [(lp, rl) for lp, rl in zip(pred.lines, rp.lines) if lp.line.active]

    def offset(levels, lp):
        return float(np.mean(sti_.a_weighted_db(levels) - lp.target))

    notes = []
    for lp, rl in active:
        steered, unsteered = float(np.mean(rl.sti)), float(np.mean(rl.sti_unsteered))
        if round(steered, 3) > round(unsteered, 3):
            continue
        others = ", ".join(f"{o.line.name} {offset(ol.direct_unsteered_db, o):+.1f}" for o, ol in active if o is not lp)
        notes.append(f"STI {lp.line.name}: {steered:.3f} against {unsteered:.3f} unsteered: at the same mean level "
                     f"over the audience the unsteered column plays its direct speech here "
                     f"{offset(rl.direct_unsteered_db, lp):+.1f} dB(A) from the target" + (f" ({others})" if others else "")
                     + f", the steered one {offset(rl.direct_db, lp):+.1f} dB(A); the same room's reflections then "
                     "weigh less against it")
    return notes


def _r(values, digits: int):
    return np.round(np.asarray(values, dtype=float), digits).tolist()


def room_report(venue: Venue, pred: analysis.Prediction) -> dict:
    """The ``room`` section of report.json.

    Every level is of the speech signal at the volume that meets the targets,
    in dB SPL (power levels dB re 1 pW, in the same terms: a source of power
    level Lw gives Lw - 11 dB at 1 m when it radiates evenly into the sphere),
    so that each STI can be recomputed from ``direct_db``, ``reflected_db``,
    ``noise_db`` and ``rt60_s``.
    """
    rp = pred.room
    noise = rp.noise_db
    noise_dba = float(sti_.a_weighted_db(np.asarray(noise))) if noise is not None else None
    lines, seats = [], []
    for lp, rl in zip(pred.lines, rp.lines):
        lines.append({
            "name": lp.line.name,
            "active": lp.line.active,
            "sti_mean": round(float(np.mean(rl.sti)), 3),
            "sti_min": round(float(np.min(rl.sti)), 3),
            "share_sti_050": round(float(np.mean(rl.sti >= STI_GOAL)), 3),
            "sti_unsteered_mean": round(float(np.mean(rl.sti_unsteered)), 3),
            "sti_unsteered_min": round(float(np.min(rl.sti_unsteered)), 3),
            "qualification": sti_.qualification(float(np.mean(rl.sti))),
        })
        if not lp.line.active:
            continue
        speech = sti_.a_weighted_db(10 * np.log10(10 ** (rl.direct_db / 10) + 10 ** (rl.reflected_db / 10)))
        seats.append({
            "line": lp.line.name,
            "x": _r(lp.x, 3),
            "z": _r(lp.z, 3),
            "distance_m": _r(rl.distance_m, 3),
            "direct_db": _r(rl.direct_db.T, 3),
            "reflected_db": _r(rl.reflected_db.T, 3),
            "speech_dba": _r(speech, 2),
            "snr_dba": _r(speech - noise_dba, 2) if noise_dba is not None else None,
            "sti": _r(rl.sti, 4),
            "sti_unmasked": _r(rl.sti_unmasked, 4),
        })
    return {
        "bands_hz": list(rp.bands_hz),
        "volume_m3": rp.volume_m3,
        "rt60_s": list(rp.rt60_s),
        "noise_db": list(noise) if noise is not None else None,
        "noise_dba": round(noise_dba, 1) if noise_dba is not None else None,
        "temperature_c": venue.air[0],
        "humidity_percent": venue.air[1],
        "air_absorption_db_per_m": _r(absorption_db_per_m(octave_midbands(rp.bands_hz), *venue.air), 5),
        "speech_spectrum_db": list(sti_.MALE_SPECTRUM_DB),
        "power_level_db": _r(rp.power_level_db, 2),
        "power_level_unsteered_db": _r(rp.power_level_unsteered_db, 2),
        "lines": lines,
        "seats": seats,
    }

