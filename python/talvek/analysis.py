"""Predicted levels of a design in its venue: along the audience lines, over the
vertical section, per octave band, and the summary that goes into report.json.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from .api import Talvek
from .room.air import absorption_db_per_m
from .venue import AudienceLine, Venue

__all__ = ["P_REF", "OCTAVE_BANDS", "ROOM_BANDS", "spl_db", "band_mask", "Prediction", "predict", "report",
           "column_centre", "distance_to_column", "air_factor"]

P_REF = 20e-6  # Pa, reference pressure of dB SPL
OCTAVE_BANDS = (250.0, 500.0, 1000.0, 2000.0, 4000.0, 8000.0)  # Hz, centre frequencies
ROOM_BANDS = (125.0,) + OCTAVE_BANDS  # the bands of the room's figures (speech intelligibility)
_HALF_OCTAVE = math.sqrt(2.0)


def spl_db(power):
    """Squared pressure (Pa^2) to dB SPL; silence floors at -100 dB rather than -inf."""
    return 10.0 * np.log10(np.maximum(np.asarray(power, dtype=float), P_REF**2 * 1e-10) / P_REF**2)


def band_mask(freq: np.ndarray, centre: float) -> np.ndarray:
    """Frequencies inside the octave band around ``centre`` (edges centre / sqrt 2 .. centre * sqrt 2)."""
    return (freq >= centre / _HALF_OCTAVE) & (freq < centre * _HALF_OCTAVE)


def band_power(freq: np.ndarray, power: np.ndarray, bands=OCTAVE_BANDS) -> np.ndarray:
    """Mean squared pressure per octave band: (bands, ...) from (N, ...).

    The grid is logarithmic, so the plain mean over a band weights every
    fraction of an octave alike (a pink-noise band level).
    """
    return np.stack([power[band_mask(freq, fc)].mean(axis=0) for fc in bands])


def column_centre(venue: Venue) -> tuple[float, float]:
    """Centre of the column's driver sections (x, z), m: half its length up its tilted axis."""
    t = math.radians(venue.tilt)
    half = 0.5 * venue.model.column_length
    return -half * math.sin(t), venue.height + half * math.cos(t)


def distance_to_column(venue: Venue, x, z) -> np.ndarray:
    """Distance of points from the centre of the column's driver sections, m."""
    cx, cz = column_centre(venue)
    return np.hypot(np.asarray(x, dtype=float) - cx, np.asarray(z, dtype=float) - cz)


def air_factor(venue: Venue, freq, x, z) -> np.ndarray:
    """What the air leaves of the squared pressure between the column and each point, (N, P).

    The pure-tone absorption at each frequency (at the room's temperature and
    humidity, 20 degC and 50 % without a room) over the distance from the
    centre of the driver sections; the drivers' own distances differ from it
    by at most half the column, which at 8 kHz is a few hundredths of a dB.
    """
    alpha = absorption_db_per_m(freq, *venue.air)
    return 10.0 ** (-0.1 * alpha[:, None] * distance_to_column(venue, x, z)[None, :])


@dataclass
class LinePrediction:
    line: AudienceLine
    x: np.ndarray          # (P,) m
    z: np.ndarray          # (P,) m
    along: np.ndarray      # (P,) m from the line's start
    target: np.ndarray     # (P,) dB SPL
    spl: np.ndarray        # (N, P) dB SPL per frequency
    band_spl: np.ndarray   # (bands, P) dB SPL
    wide_spl: np.ndarray   # (P,) dB SPL over all analysed frequencies
    room_band_spl: np.ndarray | None = None  # (7, P) dB SPL in the room's bands 125 Hz - 8 kHz, with a room


@dataclass
class Prediction:
    """Predicted levels at the volume that meets the targets on average.

    The optimiser shapes the levels along the audience but does not pin their
    absolute value (its fit rescales the desired magnitudes freely), so every
    level here is the design as made plus ``offset_db``: the one gain, as an
    installer would set it, that makes the mean deviation from target over
    all active points and octave bands zero.
    """

    freq: np.ndarray               # (N,) Hz, the analysed frequencies
    headroom_db: float             # the library's headroom of the design as made
    offset_db: float               # gain applied to every level below
    lines: list[LinePrediction]
    grid_x: np.ndarray             # (nx,) m
    grid_z: np.ndarray             # (nz,) m
    coverage: np.ndarray | None    # (bands, nz, nx) dB SPL (None while only the lines are predicted)
    bands: tuple = OCTAVE_BANDS
    # Headroom of each section frequency by frequency (see section_headroom), as made, dB.
    section_headroom_db: dict = None
    room_coverage: np.ndarray | None = None   # (7, nz, nx) dB SPL in the room's bands, with a room
    room: object = None                       # a talvek.room.prediction.RoomPrediction, with a room

    @property
    def headroom_at_targets_db(self) -> float:
        """How far the level can rise above the targets before an amplifier clips, dB."""
        return self.headroom_db - self.offset_db


@dataclass
class FilterResponses:
    """The steering filters' responses, sampled for their plot: ``values[s]`` is
    section s (woofer, tweeter) as (channels, 3 * points) at ``freq``, then half
    a hertz below and above each, for the group delay."""

    freq: np.ndarray
    values: tuple
    step: float = 1.0


def filter_responses(tv: Talvek, *, points: int = 240) -> FilterResponses:
    """Sample the current design's steering filters from 20 Hz to 20 kHz, one library call."""
    freq = np.geomspace(20.0, 20000.0, points)
    step = 1.0
    grid = np.concatenate([freq, freq - step / 2, freq + step / 2])
    return FilterResponses(freq, tuple(tv.sf_response(grid)), step)


def analysed_range(all_freq: np.ndarray, bands=OCTAVE_BANDS) -> tuple[int, int]:
    """1-based inclusive index range of the model frequencies spanning the bands."""
    inside = np.flatnonzero((all_freq >= bands[0] / _HALF_OCTAVE) & (all_freq < bands[-1] * _HALF_OCTAVE))
    return int(inside[0]) + 1, int(inside[-1]) + 1


def predict(tv: Talvek, venue: Venue, *, spacing: float = 0.25, grid: tuple[int, int] = (120, 60),
            chunk: int = 1500, progress=None, section_headroom_db: bool = True, along_lines=None) -> Prediction:
    """Predict the current design's levels along the audience and over the section.

    Parameters
    ----------
    tv : Talvek
        A session holding the design for ``venue``.
    spacing : float
        Distance between points along each audience line, m.
    grid : (nx, nz)
        Points of the coverage map across and up the section.
    chunk : int
        Points per library call; ``progress(done, total)`` is called after each.
    section_headroom_db : bool
        Also work out each section's headroom frequency by frequency (one
        library call per model frequency); scoring passes leave it out.
    along_lines : callable(Prediction), optional
        Called with the prediction as soon as the levels along the audience
        are known (after the first library call), before the rest of the map
        of the section is computed; its ``coverage`` is None until then. The
        figures of the lines can be drawn meanwhile. The numbers are the same
        either way, to the last bit.

    Every level is the direct sound less the air's absorption over the
    distance to the column. With a room, the levels in its seven bands
    (``room_band_spl``, ``room_coverage``) come from the same library calls,
    which then reach down to the 125 Hz band.
    """
    freq_all = tv.frequencies()
    first, last = analysed_range(freq_all)
    freq = freq_all[first - 1:last]
    low = analysed_range(freq_all, ROOM_BANDS)[0] if venue.room is not None else first
    freq_wide = freq_all[low - 1:last]
    skip = first - low  # rows below the analysed bands, for the room's 125 Hz band

    samples = [a.points(spacing) for a in venue.audience]
    (x0, x1), (z0, z1) = venue.extent()
    nx, nz = grid
    gx = np.linspace(max(x0, 0.0), x1, nx)  # nothing is heard behind the column
    gz = np.linspace(z0, z1, nz)
    mx, mz = np.meshgrid(gx, gz)

    px = np.concatenate([s[0] for s in samples] + [mx.ravel()])
    pz = np.concatenate([s[1] for s in samples] + [mz.ravel()])
    wide = np.empty((freq_wide.size, px.size))

    def measure(start: int, stop: int) -> None:
        # The library caps a point within half a metre of a driver at the loudest other point of
        # its call, so the calls are the same chunks whether or not the lines come first.
        for a in range(start, stop, chunk):
            b = min(a + chunk, stop)
            wide[:, a:b], _ = tv.greens(px[a:b], pz[a:b], height=venue.height, tilt=venue.tilt, first=low,
                                        last=last)
            wide[:, a:b] *= air_factor(venue, freq_wide, px[a:b], pz[a:b])
            if progress:
                progress(b, px.size)

    on_lines = sum(x.size for x, _, _ in samples)
    first_calls = px.size if along_lines is None else min(px.size, -(-on_lines // chunk) * chunk)
    measure(0, first_calls)
    power = wide[skip:]
    # The headroom looks at the amplifiers over the frequencies asked for: ask for all of them.
    _, headroom = tv.greens(px[:1], pz[:1], height=venue.height, tilt=venue.tilt, first=1, last=freq_all.size)

    lines, offset = [], 0
    for a, (x, z, along) in zip(venue.audience, samples):
        p = power[:, offset:offset + x.size]
        offset += x.size
        lines.append(LinePrediction(a, x, z, along, a.target(along), spl_db(p), spl_db(band_power(freq, p)),
                                    spl_db(p.mean(axis=0))))
        if venue.room is not None:
            lines[-1].room_band_spl = spl_db(band_power(freq_wide, wide[:, offset - x.size:offset], ROOM_BANDS))
    gain = -float(np.mean(np.concatenate([(lp.band_spl - lp.target).ravel() for lp in lines if lp.line.active])))
    for lp in lines:
        lp.spl += gain
        lp.band_spl += gain
        lp.wide_spl += gain
        if lp.room_band_spl is not None:
            lp.room_band_spl += gain
    pred = Prediction(freq, headroom, gain, lines, gx, gz, None,
                      section_headroom_db=section_headroom(tv, venue) if section_headroom_db else None)
    if along_lines is not None:
        along_lines(pred)
        measure(first_calls, px.size)

    pred.coverage = spl_db(band_power(freq, power[:, on_lines:])).reshape(len(OCTAVE_BANDS), nz, nx) + gain
    if venue.room is not None:
        pred.room_coverage = spl_db(band_power(freq_wide, wide[:, on_lines:], ROOM_BANDS)).reshape(
            len(ROOM_BANDS), nz, nx) + gain
    return pred


def section_headroom(tv: Talvek, venue: Venue) -> dict:
    """Headroom of each driver section of the current design, frequency by frequency, dB.

    The library's headroom is a bound: the amplifiers' clip point over the
    largest reference-weighted gain at any frequency, divided by the woofer
    section's largest steering gain at any frequency. Asked for one frequency
    at a time, ``Talvek_Greens`` gives the first factor at that frequency;
    divided by each section's largest channel gain there (its steering
    filters, ``Talvek_SF_Response``, times the design's scale, which the
    library's figure divides out again), the smallest over the frequencies is
    what a full-scale signal with the reference spectrum leaves before the
    first amplifier of that section clips. The tweeter section is counted
    with its own gains (the library's figure counts only the woofers').
    """
    freq = tv.frequencies()
    per_frequency = np.array([tv.greens([10.0], [venue.height], height=venue.height, tilt=venue.tilt,
                                        first=i, last=i)[1] for i in range(1, freq.size + 1)])
    out = {}
    for name, S in zip(("woofer", "tweeter"), tv.sf_response(freq)):
        if S.size:
            gain = np.abs(S).max(axis=0)
            playing = gain > 0
            out[name] = float(np.min(per_frequency[playing] - 20 * np.log10(gain[playing])))
    return out


def _deviation_stats(dev: np.ndarray) -> dict:
    worst = int(np.argmax(np.abs(dev)))
    return {"rms_db": round(float(np.sqrt(np.mean(dev**2))), 2), "worst_db": round(float(dev[worst]), 2)}


def report(venue: Venue, pred: Prediction, *, model_name: str | None = None) -> dict:
    """The summary of ``talvek design``: model, headroom, per-line maximum level
    before clipping, and per octave band the deviation from target along the
    active audience lines (RMS and the worst signed deviation, dB) at the volume
    that meets the targets on average (``level_offset_db`` above the design)."""
    active = [lp for lp in pred.lines if lp.line.active]
    bands = []
    for b, fc in enumerate(pred.bands):
        dev = np.concatenate([lp.band_spl[b] - lp.target for lp in active])
        bands.append({"band_hz": fc, **_deviation_stats(dev)})
    lines = []
    for lp in pred.lines:
        entry = {
            "name": lp.line.name,
            "active": lp.line.active,
            "from": list(lp.line.start),
            "to": list(lp.line.end),
            "target_db": list(lp.line.levels) if lp.line.active else None,
            # At the volume of the targets, then raised until the first
            # amplifier channel clips (the same whatever the volume).
            "max_spl_at_targets_db": round(float(lp.wide_spl.max()), 1),
            "max_spl_before_clipping_db": round(float(lp.wide_spl.max() + pred.headroom_at_targets_db), 1),
        }
        if lp.line.active:
            entry["bands"] = [{"band_hz": fc, **_deviation_stats(lp.band_spl[b] - lp.target)}
                              for b, fc in enumerate(pred.bands)]
        lines.append(entry)
    return {
        "venue": venue.name,
        "model": model_name or venue.model.name,
        "height_m": venue.height,
        "tilt_deg": venue.tilt,
        "headroom_db": round(float(pred.headroom_db), 2),
        "level_offset_db": round(pred.offset_db, 2),
        "headroom_at_targets_db": round(pred.headroom_at_targets_db, 2),
        "section_headroom_at_targets_db": {k: round(v - pred.offset_db, 2)
                                           for k, v in (pred.section_headroom_db or {}).items()},
        "frequency_range_hz": [round(float(pred.freq[0]), 1), round(float(pred.freq[-1]), 1)],
        "audience_lines": lines,
        "bands": bands,
    }


# What a design should reach along its audience: per band, RMS and worst deviation, dB.
FIGURES = {250.0: (3.0, 6.0), 500.0: (1.5, 3.5), 1000.0: (1.5, 3.5), 2000.0: (1.5, 3.5), 4000.0: (1.5, 3.5),
           8000.0: (3.0, 6.0)}
SPEED_OF_SOUND = 343.0  # m/s


def limit_notes(venue: Venue, pred: Prediction, rep: dict) -> list[str]:
    """One plain sentence per band that misses its figure, with the likeliest physical reason.

    The reasons are rules of thumb about the column's size: a section shorter
    than a few wavelengths cannot make a beam narrow enough to shape the level
    over the audience's range of angles; a listener closer than L^2 / lambda is
    in the section's near field, which the optimiser's far-field model does
    not see; and a line of drivers more than half a wavelength apart sends
    grating lobes off its main beam.
    """
    notes = []
    model = venue.model
    active = [lp for lp in pred.lines if lp.line.active]
    for b, band in enumerate(rep["bands"]):
        fc = band["band_hz"]
        rms_max, worst_max = FIGURES[fc]
        if band["rms_db"] <= rms_max and abs(band["worst_db"]) <= worst_max:
            continue
        wavelength = SPEED_OF_SOUND / fc
        woofers = fc < model.crossover_hz or not model.two_way
        length = model.column_length if woofers else model.tweeter_channels * model.tweeter_pitch
        name = "woofer section" if woofers else "tweeter line"
        dev = [lp.band_spl[b] - lp.target for lp in active]
        k = max(range(len(active)), key=lambda i: np.max(np.abs(dev[i])))
        p = int(np.argmax(np.abs(dev[k])))
        distance = math.hypot(active[k].x[p], active[k].z[p] - venue.height - model.column_length / 2)
        where = f"{active[k].line.name} at {active[k].along[p]:.1f} m"
        head = (f"{fc:g} Hz: RMS {band['rms_db']:.2f} / worst {band['worst_db']:+.2f} dB ({where}) misses "
                f"{rms_max:g} / {worst_max:g} dB: ")
        if length / wavelength < 3.0:
            width = math.degrees(2 * math.asin(min(1.0, 0.44 * wavelength / length)))
            notes.append(head + f"the {length:.2f} m {name} is {length / wavelength:.1f} wavelengths long; its "
                                f"beam cannot be narrower than about {width:.0f} degrees")
        elif not woofers and fc > SPEED_OF_SOUND / (2 * model.tweeter_pitch) and band["worst_db"] > 0:
            notes.append(head + f"above {SPEED_OF_SOUND / (2 * model.tweeter_pitch) / 1000:.1f} kHz the tweeters, "
                                f"{model.tweeter_pitch * 100:g} cm apart, are more than half a wavelength apart and "
                                "send grating lobes off the main beam")
        elif distance < length**2 / wavelength:
            notes.append(head + f"{distance:.1f} m from the column, inside the near field of its {length:.2f} m "
                                f"{name} (up to {length**2 / wavelength:.0f} m), which the optimiser's far-field "
                                "model does not see")
        else:
            notes.append(head + "the optimiser's fit leaves it there")
    if rep["headroom_at_targets_db"] < 0:
        notes.append(f"headroom at the targets {rep['headroom_at_targets_db']:+.1f} dB: the column clips before it "
                     "reaches them")
    for name, value in rep.get("section_headroom_at_targets_db", {}).items():
        if value < 0:
            notes.append(f"the {name} amplifiers clip {-value:.1f} dB below the targets at their most "
                         "demanding frequency")
    return notes


def band_table(rep: dict) -> str:
    """Per octave band ``RMS/worst`` (dB) of a report, one string."""
    return "  ".join(f"{b['band_hz'] / 1000:g}k {b['rms_db']:.1f}/{b['worst_db']:+.1f}" if b["band_hz"] >= 1000
                     else f"{b['band_hz']:g} {b['rms_db']:.1f}/{b['worst_db']:+.1f}" for b in rep["bands"])


def voicing_report(voicing, before: dict | None) -> dict:
    """The voicing section of report.json: the correction per band and the
    figures of the design as optimised (``before``)."""
    out = {
        "passes": voicing.passes,
        "largest_change_per_pass_db": list(voicing.changes_db),
        "correction": voicing.band_summary(),
    }
    if before is not None:
        out["before"] = {k: before[k] for k in ("headroom_db", "level_offset_db", "headroom_at_targets_db",
                                                "section_headroom_at_targets_db", "bands")}
        if "refinement" in before:
            out["refinement"] = before["refinement"]
    return out


def summary_lines(rep: dict) -> list[str]:
    """The printed summary of a report, one line per fact."""
    out = [f"model {rep['model']}: headroom {rep['headroom_db']:+.1f} dB as designed; "
           f"{rep['level_offset_db']:+.1f} dB of gain meets the targets on average, "
           f"leaving {rep['headroom_at_targets_db']:+.1f} dB"]
    if rep.get("section_headroom_at_targets_db"):
        out.append("  frequency by frequency at the targets: " + ", ".join(
            f"{k} {v:+.1f} dB" for k, v in rep["section_headroom_at_targets_db"].items()))
    for line in rep["audience_lines"]:
        state = "" if line["active"] else " (inactive)"
        out.append(f"  {line['name']}{state}: max {line['max_spl_before_clipping_db']:.1f} dB SPL before clipping")
    out.append("  deviation from target along the audience, per octave band (RMS / worst):")
    v = rep.get("voicing")
    if v and "before" in v:
        out.append(f"    as optimised: {band_table(v['before'])}  headroom at targets "
                   f"{v['before']['headroom_at_targets_db']:+.1f} dB")
        out.append(f"    voiced:       {band_table(rep)}  headroom at targets {rep['headroom_at_targets_db']:+.1f} dB")
        out.append("  voicing correction per band: " + "  ".join(
            f"{c['band_hz'] / 1000:g}k {c['correction_db']:+.1f}" if c["band_hz"] >= 1000 else
            f"{c['band_hz']:g} {c['correction_db']:+.1f}" for c in v["correction"] if c["correction_db"] is not None)
            + f" dB ({v['passes']} passes)")
    else:
        out.append("    " + band_table(rep))
    out.extend(room_summary_lines(rep))
    for note in rep.get("limits", []):
        out.append(f"  limit: {note}")
    return out


def room_summary_lines(rep: dict) -> list[str]:
    """One console line per audience line: STI mean and minimum, steered and unsteered."""
    room = rep.get("room")
    if not room:
        return []
    noise = f", noise {room['noise_dba']:.0f} dB(A)" if room["noise_dba"] is not None else ""
    out = [f"  speech intelligibility (STI, male speech at the targets; RT60 {room['rt60_s'][3]:g} s at 1 kHz, "
           f"{room['volume_m3']:g} m^3{noise}):"]
    for line in room["lines"]:
        state = "" if line["active"] else " (inactive)"
        out.append(f"    {line['name']}{state}: STI {line['sti_mean']:.2f} (min {line['sti_min']:.2f}, "
                   f"{100 * line['share_sti_050']:.0f}% >= 0.50, {line['qualification']}); unsteered "
                   f"{line['sti_unsteered_mean']:.2f} (min {line['sti_unsteered_min']:.2f})")
    return out

