"""The combined prediction of several columns: levels, arrivals and speech intelligibility.

The columns' octave-band levels add as energies. Two columns' arrivals are
milliseconds apart, so their sum combs in frequency far finer than an octave
band; the band holds the power sum. Each column's field comes from
:func:`talvek.system.field.column_power` (in front of it and behind it, air
included) at the level it plays at. With a room, each column feeds the room
with its radiated power (:func:`talvek.room.prediction.radiated_power_db`), its
reflected sound follows Barron's theory at the listener's distance from it
(:mod:`talvek.room.reflected`), and the STI takes each column's arrival time
(propagation plus its delay) into the modulation transfer
(:func:`talvek.room.sti.sti_of_arrivals`).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from .. import analysis
from ..room import reflected, sti as sti_
from ..room.prediction import STI_GOAL
from ..venue import AudienceLine, ColumnPlacement, Venue
from .placement import column_centre

__all__ = ["ColumnResult", "SystemLine", "SystemPrediction", "system_grid", "system_points", "combine",
           "system_report", "system_headroom_db", "unsteered_levels", "level_offset_db", "arrivals_ms", "summary_lines"]


@dataclass
class ColumnResult:
    """One column as the system plays it."""

    column: ColumnPlacement
    venue: Venue                 # its own venue
    delay_ms: float
    level_db: float              # gain over its files: its own level offset plus its gain_db, dB
    power: np.ndarray            # (N, P) Pa^2 at level_db, at the system's points (lines, then the map)
    radiated_db: np.ndarray | None = None     # (7,) power level of the reference signal at level_db, dB re 1 pW
    correction: list | None = None            # the system voicing per band, as report.json keeps it
    headroom_db: float | None = None          # the library's headroom of its design as written
    # The same column unsteered (every channel of a section flat and in phase), as the library designs
    # it, with a room: squared pressure at the lines' points (N, P_lines), Pa^2, and its radiated power
    # level of the reference signal (7,), dB re 1 pW, both at 0 dB gain.
    flat_power: np.ndarray | None = None
    flat_radiated_db: np.ndarray | None = None


@dataclass
class SystemLine:
    line: AudienceLine
    x: np.ndarray                # (P,) m, system coordinates
    z: np.ndarray
    along: np.ndarray
    target: np.ndarray
    band_spl: np.ndarray         # (bands, P) the system's, dB SPL
    column_band_spl: np.ndarray  # (C, bands, P) each column's own
    arrival_ms: np.ndarray       # (C, P) each column's direct sound: its delay plus the travel time
    wide_spl: np.ndarray | None = None        # (P,) the system's over all analysed frequencies, dB SPL
    sti: np.ndarray | None = None             # (P,) with a room
    sti_unsteered: np.ndarray | None = None   # (P,) the same columns unsteered (see unsteered_levels)
    direct_db: np.ndarray | None = None       # (C, 7, P) speech's direct level of each column
    reflected_db: np.ndarray | None = None    # (C, 7, P)


@dataclass
class SystemPrediction:
    freq: np.ndarray             # (N,) Hz, from the lowest room band when there is a room
    analysed: slice              # the rows of freq in the octave bands of the deviation table
    columns: list
    lines: list
    grid_x: np.ndarray
    grid_z: np.ndarray
    coverage: np.ndarray         # (bands, nz, nx) dB SPL
    bands: tuple = analysis.OCTAVE_BANDS
    sti_map: np.ndarray | None = None         # (nz, nx)


def system_grid(venue: Venue, grid) -> tuple[np.ndarray, np.ndarray]:
    """The coverage map's grid lines (x, z), m: the file's section, or one round the lines and the columns."""
    xs = [p[0] for a in venue.audience for p in (a.start, a.end)] + [c.x for c in venue.columns]
    zs = [p[1] for a in venue.audience for p in (a.start, a.end)]
    top = max(c.height + c.model.column_length for c in venue.columns)
    x0, x1 = venue.section_x or (min(xs) - 1.0, max(xs) + 1.0)
    z0, z1 = venue.section_z or (min(0.0, min(zs)), max(max(zs), top) + 2.0)
    return np.linspace(x0, x1, grid[0]), np.linspace(z0, z1, grid[1])


def system_points(venue: Venue, grid, *, spacing: float = 0.25):
    """Every line's points (x, z, along) and the map's, concatenated: (x, z, samples, (gx, gz))."""
    samples = [a.points(spacing) for a in venue.audience]
    gx, gz = system_grid(venue, grid)
    mx, mz = np.meshgrid(gx, gz)
    x = np.concatenate([s[0] for s in samples] + [mx.ravel()])
    z = np.concatenate([s[1] for s in samples] + [mz.ravel()])
    return x, z, samples, (gx, gz)


def level_offset_db(freq: np.ndarray, power: np.ndarray, samples, venue: Venue, serves) -> float:
    """The gain that makes a column's mean deviation over the lines it serves and the octave bands zero, dB
    (the level offset of :func:`talvek.analysis.predict`); ``power`` (N, P) over the lines' points."""
    devs, offset = [], 0
    for a, (x, _, along) in zip(venue.audience, samples):
        p = power[:, offset:offset + x.size]
        offset += x.size
        if a.name in serves:
            devs.append((analysis.spl_db(analysis.band_power(freq, p)) - a.target(along)).ravel())
    return -float(np.mean(np.concatenate(devs)))


def _distance(column: ColumnPlacement, x, z) -> np.ndarray:
    cx, cz = column_centre(column)
    return np.hypot(np.asarray(x) - cx, np.asarray(z) - cz)


def arrivals_ms(columns, delays_ms, x, z, *, c: float = analysis.SPEED_OF_SOUND) -> np.ndarray:
    """When each column's direct sound reaches points (x, z): its delay plus the travel from its centre, ms, (C, P)."""
    return np.stack([d + 1000.0 * _distance(col, x, z) / c for col, d in zip(columns, delays_ms)])


def _room_bands_db(freq: np.ndarray, power: np.ndarray) -> np.ndarray:
    return analysis.spl_db(analysis.band_power(freq, power, analysis.ROOM_BANDS))


def unsteered_levels(venue: Venue, columns: list, freq: np.ndarray, samples) -> tuple[np.ndarray, np.ndarray]:
    """The unsteered columns' levels along the lines and radiated power levels in the room's bands.

    Every column plays where the steered one stands, with its delay. Its gain
    per band makes its mean level over the lines it serves the steered
    column's there (as an installer would set it by ear for its own seats, so
    the balance between the columns stays), then one gain per band for all of
    them makes the system's mean over the active audience the steered
    system's: only the steering differs.

    Returns
    -------
    direct : (C, 7, P_lines) ndarray
        Reference signal's level per room band at the lines' points, dB SPL.
    radiated : (C, 7) ndarray
        Its radiated power level per band, dB re 1 pW.
    """
    on_lines = sum(s[0].size for s in samples)
    line_of = np.concatenate([np.full(s[0].size, k) for k, s in enumerate(samples)])
    steered = np.stack([_room_bands_db(freq, c.power[:, :on_lines]) for c in columns])
    flat = np.stack([_room_bands_db(freq, c.flat_power) for c in columns])
    radiated = np.stack([np.asarray(c.flat_radiated_db, dtype=float) for c in columns])
    for k, c in enumerate(columns):
        mine = np.isin(line_of, [i for i, a in enumerate(venue.audience) if a.name in c.column.serves])
        eq = steered[k][:, mine].mean(axis=1) - flat[k][:, mine].mean(axis=1)
        flat[k] += eq[:, None]
        radiated[k] += eq
    active = np.isin(line_of, [i for i, a in enumerate(venue.audience) if a.active])

    def system_mean(levels):
        return analysis.spl_db(np.sum(10 ** (levels[:, :, active] / 10), axis=0) * analysis.P_REF ** 2).mean(axis=1)

    eq = system_mean(steered) - system_mean(flat)
    return flat + eq[None, :, None], radiated + eq[None, :]


def combine(venue: Venue, columns: list, freq: np.ndarray, analysed: slice, samples, grid_xz) -> SystemPrediction:
    """The system's levels, arrivals and (with a room) STI from each column's power at the system points."""
    room = venue.room
    gx, gz = grid_xz
    f_bands = freq[analysed]
    total = sum(c.power for c in columns)
    x_all = np.concatenate([s[0] for s in samples] + [np.tile(gx, gz.size)])
    z_all = np.concatenate([s[1] for s in samples] + [np.repeat(gz, gx.size)])
    arrival = arrivals_ms([c.column for c in columns], [c.delay_ms for c in columns], x_all, z_all)
    sti_all = sti_flat = direct = refl = None
    if room is not None:
        spectrum = np.asarray(sti_.MALE_SPECTRUM_DB)[:, None]
        distance = [_distance(c.column, x_all, z_all) for c in columns]
        direct = np.stack([_room_bands_db(freq, c.power) + spectrum for c in columns])
        refl = np.stack([reflected.reflected_level_db(c.radiated_db + spectrum[:, 0], room.volume, room.rt60, r)
                         for c, r in zip(columns, distance)])
        sti_all = sti_.sti_of_arrivals(direct, refl, room.noise, room.rt60, arrival / 1000.0)
        if all(c.flat_power is not None for c in columns):
            on_lines = sum(s[0].size for s in samples)
            flat, flat_radiated = unsteered_levels(venue, columns, freq, samples)
            flat_refl = np.stack([reflected.reflected_level_db(p + spectrum[:, 0], room.volume, room.rt60,
                                                               r[:on_lines])
                                  for p, r in zip(flat_radiated, distance)])
            sti_flat = sti_.sti_of_arrivals(flat + spectrum, flat_refl, room.noise, room.rt60,
                                            arrival[:, :on_lines] / 1000.0)
    lines, offset = [], 0
    for a, (x, z, along) in zip(venue.audience, samples):
        part = slice(offset, offset + x.size)
        offset += x.size
        lines.append(SystemLine(
            a, x, z, along, a.target(along), analysis.spl_db(analysis.band_power(f_bands, total[analysed, part])),
            np.stack([analysis.spl_db(analysis.band_power(f_bands, c.power[analysed, part])) for c in columns]),
            arrival[:, part], analysis.spl_db(total[analysed, part].mean(axis=0)),
            None if sti_all is None else sti_all[part], None if sti_flat is None else sti_flat[part],
            None if direct is None else direct[:, :, part], None if refl is None else refl[:, :, part]))
    rest = slice(offset, None)
    nz, nx = gz.size, gx.size
    coverage = analysis.spl_db(analysis.band_power(f_bands, total[analysed, rest])).reshape(-1, nz, nx)
    return SystemPrediction(freq, analysed, columns, lines, gx, gz, coverage,
                            sti_map=None if sti_all is None else sti_all[rest].reshape(nz, nx))


def _stats(dev: np.ndarray) -> dict:
    worst = int(np.argmax(np.abs(dev)))
    return {"rms_db": round(float(np.sqrt(np.mean(dev**2))), 2), "worst_db": round(float(dev[worst]), 2)}


def system_headroom_db(columns) -> float | None:
    """How far the whole system can rise, all columns together, before an amplifier clips, dB.

    Each column plays at its level (``level_db``: its level offset, the system
    voicing in its files and its ``gain_db``), which leaves it ``headroom_db -
    level_db`` before its first amplifier clips. Raised together, the columns
    keep their balance, so the system stops where the column with the least of
    it clips: the smallest over the columns. At a point the system's wide-band
    level plus this is its maximum before clipping, and a line's maximum is the
    largest over its points, as for a single design. None when a column's
    headroom is not known.
    """
    left = [c.headroom_db - c.level_db for c in columns if c.headroom_db is not None]
    return min(left) if len(left) == len(columns) else None


def system_report(venue: Venue, sp: SystemPrediction) -> dict:
    """The system's report.json: the deviation per band over every active line, each column, each line's STI."""
    active = [sl for sl in sp.lines if sl.line.active]
    bands = [{"band_hz": fc, **_stats(np.concatenate([sl.band_spl[b] - sl.target for sl in active]))}
             for b, fc in enumerate(sp.bands)]
    headroom = system_headroom_db(sp.columns)
    lines = []
    for sl in sp.lines:
        entry = {"name": sl.line.name, "active": sl.line.active, "from": list(sl.line.start),
                 "to": list(sl.line.end), "target_db": list(sl.line.levels) if sl.line.active else None,
                 "max_spl_at_targets_db": round(float(sl.wide_spl.max()), 1),
                 "max_spl_before_clipping_db": (round(float(sl.wide_spl.max() + headroom), 1)
                                                if headroom is not None else None)}
        if sl.line.active:
            entry["bands"] = [{"band_hz": fc, **_stats(sl.band_spl[b] - sl.target)} for b, fc in enumerate(sp.bands)]
        # The levels themselves, point by point: the system's and each column's, per band.
        entry["x"] = np.round(sl.x, 3).tolist()
        entry["band_spl_db"] = np.round(sl.band_spl, 2).tolist()
        entry["column_band_spl_db"] = np.round(sl.column_band_spl, 2).tolist()
        entry["arrival_ms"] = np.round(sl.arrival_ms, 3).tolist()
        if sl.sti is not None:
            entry.update(sti_mean=round(float(np.mean(sl.sti)), 3), sti_min=round(float(np.min(sl.sti)), 3),
                         share_sti_050=round(float(np.mean(sl.sti >= STI_GOAL)), 3),
                         qualification=sti_.qualification(float(np.mean(sl.sti))))
        lines.append(entry)
    columns = []
    for c in sp.columns:
        col = c.column
        columns.append({
            "name": col.name, "model": col.model.name, "delay_ms": round(c.delay_ms, 3),
            "delay_given": col.delay_ms is not None, "folder": None, "x": col.x, "height_m": col.height,
            "tilt_deg": col.tilt, "facing": col.facing, "serves": list(col.serves),
            "level_offset_db": round(c.level_db, 6), "gain_db": col.gain_db,
            "system_correction": c.correction,
        })
        if c.headroom_db is not None:
            # How far the column can rise above the level it plays at before an amplifier clips.
            columns[-1]["headroom_at_level_db"] = round(c.headroom_db - c.level_db, 2)
    rep = {"venue": venue.name, "system": True, "columns": columns,
           "headroom_at_targets_db": round(headroom, 2) if headroom is not None else None,
           "audience_lines": lines, "bands": bands,
           "frequency_range_hz": [round(float(sp.freq[sp.analysed][0]), 1), round(float(sp.freq[sp.analysed][-1]), 1)]}
    if venue.room is not None:
        r = venue.room
        rep["room"] = {"volume_m3": r.volume, "rt60_s": list(r.rt60),
                       "noise_db": list(r.noise) if r.noise is not None else None,
                       "noise_dba": (round(float(sti_.a_weighted_db(np.asarray(r.noise))), 1)
                                     if r.noise is not None else None),
                       "speech_spectrum_db": list(sti_.MALE_SPECTRUM_DB),
                       "power_level_db": [np.round(c.radiated_db + np.asarray(sti_.MALE_SPECTRUM_DB), 2).tolist()
                                          for c in sp.columns],
                       "lines": [{"name": sl.line.name, "active": sl.line.active,
                                  "sti_mean": round(float(np.mean(sl.sti)), 3),
                                  "sti_min": round(float(np.min(sl.sti)), 3),
                                  "share_sti_050": round(float(np.mean(sl.sti >= STI_GOAL)), 3),
                                  "qualification": sti_.qualification(float(np.mean(sl.sti))),
                                  **({"sti_unsteered_mean": round(float(np.mean(sl.sti_unsteered)), 3),
                                      "sti_unsteered_min": round(float(np.min(sl.sti_unsteered)), 3)}
                                     if sl.sti_unsteered is not None else {}),
                                  "x": np.round(sl.x, 3).tolist(), "sti": np.round(sl.sti, 4).tolist(),
                                  **({"sti_unsteered": np.round(sl.sti_unsteered, 4).tolist()}
                                     if sl.sti_unsteered is not None else {})}
                                 for sl in sp.lines]}
    return rep


def summary_lines(rep: dict) -> list[str]:
    """The printed summary of a system's report."""
    out = [f"system of {len(rep['columns'])} columns:"]
    for c in rep["columns"]:
        out.append(f"  {c['name']} ({c['model']} at x = {c['x']:g} m facing {c['facing']}): delay "
                   f"{c['delay_ms']:.2f} ms{' (given)' if c['delay_given'] else ''}, "
                   f"level {c['level_offset_db']:+.1f} dB"
                   + (f", headroom {c['headroom_at_level_db']:+.1f} dB" if "headroom_at_level_db" in c else "")
                   + f" -> {c['folder']}/")
    if rep.get("headroom_at_targets_db") is not None:
        out.append(f"  headroom of the system at its levels, all columns rising together: "
                   f"{rep['headroom_at_targets_db']:+.1f} dB")
    for line in rep["audience_lines"]:
        if line.get("max_spl_before_clipping_db") is not None:
            state = "" if line["active"] else " (inactive)"
            out.append(f"  {line['name']}{state}: max {line['max_spl_before_clipping_db']:.1f} dB SPL before clipping")
    out.append("  deviation from target along every active line, overlap included (RMS / worst): "
               + analysis.band_table(rep))
    for line in rep.get("room", {}).get("lines", []):
        state = "" if line["active"] else " (inactive)"
        unsteered = (f"; unsteered {line['sti_unsteered_mean']:.2f} (min {line['sti_unsteered_min']:.2f})"
                     if line.get("sti_unsteered_mean") is not None else "")
        out.append(f"  {line['name']}{state}: STI {line['sti_mean']:.2f} (min {line['sti_min']:.2f}, "
                   f"{100 * line['share_sti_050']:.0f}% >= 0.50, {line['qualification']}){unsteered}")
    return out
