"""Spatial refinement: better shapes along the audience, band by band.

Voicing removes the error that is the same all along the audience. What is
left is spatial, and most of it comes from the optimiser's own model: it fits
levels per direction as seen from the column, in the far field, while a
listener a few metres from a three-metre column is in its near field (a hot
spot in front of it), and at 4-8 kHz the tweeter line's grating lobes reach
the seats under it. The library cannot be taught the near field, but it can
be run again, and each of its runs fits every frequency on its own, so the
SFIO records of different runs splice frequency by frequency:

1. candidates: the voiced design, the library's fit with fewer and with more
   woofer iterations, its fit over the audience's directions only instead of
   the whole half plane (or the other way round), and, for every octave band that misses its figures, a
   run whose targets are corrected per audience segment (segments about
   ``segment_deg`` degrees apart as seen from the column, the optimiser's own
   grid being angle; each segment end's target lowered by most of the band's
   predicted deviation there, so a hot spot is asked for less; the predicted
   levels include the air's absorption, so the far seats of a top band are
   asked for more by about what the air takes on the way, alpha * r);
2. each candidate is judged per band by the shape along the audience that
   voicing cannot change (:func:`shape_figures`: the deviation less its mean
   at each frequency) and, in a room, by the share of its sound that reaches
   the audience directly (:class:`DirectShare`): a fit over the audience's
   directions only, or one asked for a steep slope, can meet the shape with
   a low-frequency beam that the 2-3 m woofer line cannot narrow, aimed
   past the audience at the ceiling, and the room's reflected sound then
   drowns the direct;
3. each band takes its frequencies from its best candidate (a short
   cross-fade in log frequency joins them), the result is voiced, and it is
   kept only if its report is better than the design before;
4. last, each band takes its frequencies from the finished design (voiced,
   after each pass) whose report is best in that band, voiced and kept if
   better. A candidate's shape figures predict a band well but not always:
   the fit's level iteration can turn a difference at the rounding level
   into a different design near a notch, so the final word goes to designs
   that are finished and measured.

Everything goes through the library's exports: the optimiser with a finer
venue table, ``Talvek_Put_SFIO_and_design_SFs`` and ``Talvek_Greens``.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field, replace

import numpy as np

from .. import analysis
from ..analysis import OCTAVE_BANDS, ROOM_BANDS
from ..api import SFIORecord, Talvek
from ..room.direct_share import excess_db, line_ratios_db, unsteered_ratios_db
from ..room.prediction import radiated_power_db
from ..venue import Venue
from .shadowing import unshadowed
from .voicing import VoicingResult, voice

__all__ = ["RefinementResult", "DirectShare", "refine", "segment_table", "shape_figures", "score"]

SEGMENT_DEG = 3.0
MOST_SEGMENTS = 10
MOST_CHANGE_DB = 10.0
DAMPING = 0.8
FADE_OCTAVES = 1.0 / 6.0
# Rounds of target correction: the third lets the top bands' targets settle on the air's
# share (each round takes 0.8 of what is left).
PASSES = 3
# In a room: badness per dB by which a band's direct share on its worst line falls short of
# the unsteered column's plus a margin, up to the woofers' top band that is judged so (above,
# the steered beams are narrow and their share follows the shape), and the arc step of the
# power estimate that judges it.
ROOM_WEIGHT = 0.5
EXCESS_WEIGHT, ROOM_EXCESS_WEIGHT = 2.0, 10.0    # per relative excess over a figure, without and with a room
ROOM_MARGIN_DB = 0.0
ROOM_TOP_HZ = 500.0
ROOM_STEP_DEG = 2.0


@dataclass
class RefinementResult:
    """What the refinement did: ``kept`` tells whether its design replaced the voiced one."""

    kept: bool = False
    passes: int = 0
    scores: list = field(default_factory=list)       # score of the voiced design, then of each pass
    segments: int = 0                                 # audience segments of the refined table
    choices: list = field(default_factory=list)       # per band, the candidate it took (0: the design as it was)


def _report_figures(rep: dict) -> np.ndarray:
    """A report's RMS and |worst| deviation per octave band, dB, (bands, 2)."""
    return np.array([[b["rms_db"], abs(b["worst_db"])] for b in rep["bands"]])


def score(rep: dict, room_penalty=None) -> float:
    """One number for a report, lower is better.

    Per band, the larger of RMS and worst |deviation| relative to the band's
    figures (:data:`talvek.analysis.FIGURES`), averaged, plus twice every
    excess over a figure, plus any headroom missing at the targets in dB: a
    design that meets every figure and can play at its targets beats one
    that is a little smoother in some bands but misses another.
    ``room_penalty`` (per room band 125 Hz - 8 kHz, from
    :meth:`DirectShare.penalty`) adds to the mean as the bands' relative
    figures do, and every excess over a figure then counts
    ``ROOM_EXCESS_WEIGHT`` times: the figures come first, the room's share
    decides among designs that meet them.
    """
    relative = _badness(_report_figures(rep))
    room = 0.0 if room_penalty is None else float(np.sum(room_penalty)) / relative.size
    excess = EXCESS_WEIGHT if room_penalty is None else ROOM_EXCESS_WEIGHT
    return float(np.mean(relative) + room + excess * np.sum(np.maximum(relative - 1.0, 0.0))
                 + max(0.0, -rep["headroom_at_targets_db"]))


def _needs_refining(band: dict) -> bool:
    """A band whose error along the audience is worth another optimisation."""
    return band["rms_db"] > 1.0 or abs(band["worst_db"]) > 2.5


def _nodes(venue: Venue, line, segment_deg: float, most: int) -> np.ndarray:
    """Fractions 0..1 along ``line`` of its segment ends, about ``segment_deg`` apart seen from the column."""
    (x1, z1), (x2, z2) = line.start, line.end
    centre = venue.height + 0.5 * venue.model.column_length
    a1 = math.degrees(math.atan2(z1 - centre, max(x1, 1e-6)))
    a2 = math.degrees(math.atan2(z2 - centre, max(x2, 1e-6)))
    n = int(min(max(math.ceil(abs(a2 - a1) / segment_deg), 1), most))
    # Equal steps of angle, mapped back onto the line.
    t = np.linspace(0.0, 1.0, 201)
    angle = np.degrees(np.arctan2(z1 + t * (z2 - z1) - centre, np.maximum(x1 + t * (x2 - x1), 1e-6)))
    wanted = np.linspace(angle[0], angle[-1], n + 1)
    order = np.argsort(angle)
    nodes = np.interp(wanted, angle[order], t[order])
    nodes[0], nodes[-1] = 0.0, 1.0
    return np.sort(nodes)


def segment_table(venue: Venue, corrections=None, *, segment_deg: float = SEGMENT_DEG,
                  most: int = MOST_SEGMENTS) -> tuple[np.ndarray, list]:
    """The venue table with every active line split into segments.

    Parameters
    ----------
    corrections : list of (n_k + 1,) arrays, optional
        Per active line, dB added to the target at each segment end.

    Returns
    -------
    table : (rows, 7) ndarray
        Venue items for the optimiser.
    nodes : list of (n_k + 1,) arrays
        Per active line, the fractions along it of its segment ends.
    """
    rows, nodes, k = [], [], 0
    for a in venue.audience:
        if not a.active:
            rows.append([a.start[0], a.end[0], a.start[1], a.end[1], a.levels[0], a.levels[1], 0.0])
            continue
        t = _nodes(venue, a, segment_deg, most)
        level = a.levels[0] + t * (a.levels[1] - a.levels[0])
        if corrections is not None:
            level = level + corrections[k]
        x = a.start[0] + t * (a.end[0] - a.start[0])
        z = a.start[1] + t * (a.end[1] - a.start[1])
        for i in range(t.size - 1):
            rows.append([x[i], x[i + 1], z[i], z[i + 1], level[i], level[i + 1], 1.0])
        nodes.append(t)
        k += 1
    return np.array(rows), nodes


def _deviation_at_nodes(pred: analysis.Prediction, nodes: list, band: int) -> list:
    """Per active line, the band's deviation from target less the band's mean, at the segment ends.

    Averaged over each end's neighbourhood (half a segment either side), so a
    node stands for the stretch it steers rather than for one point.
    """
    active = [lp for lp in pred.lines if lp.line.active]
    mean = float(np.mean(np.concatenate([lp.band_spl[band] - lp.target for lp in active])))
    out = []
    for lp, t in zip(active, nodes):
        dev = lp.band_spl[band] - lp.target - mean
        s = lp.along / max(lp.along[-1], 1e-9)
        mids = np.concatenate([[0.0], 0.5 * (t[1:] + t[:-1]), [1.0]])
        values = []
        for i in range(t.size):
            inside = (s >= mids[i]) & (s <= mids[i + 1])
            values.append(float(np.mean(dev[inside])) if inside.any() else float(np.interp(t[i], s, dev)))
        out.append(np.array(values))
    return out


def _splice(records: list, centres, fade_octaves: float) -> SFIORecord:
    """One record taking each band's frequencies from its own record, cross-faded at the band edges."""
    def blend(freq, parts):
        if not parts[0].size:
            return parts[0].copy()
        lf = np.log2(freq)
        edges = np.log2(np.sqrt(np.asarray(centres[:-1]) * np.asarray(centres[1:])))
        # Weight of each band: a raised-cosine step up at its lower edge and down at its upper one.
        step = [np.clip((lf - e) / fade_octaves + 0.5, 0.0, 1.0) for e in edges]
        step = [0.5 - 0.5 * np.cos(np.pi * s) for s in step]
        weights = []
        for b in range(len(centres)):
            w = np.ones_like(lf)
            if b > 0:
                w = w * step[b - 1]
            if b < len(centres) - 1:
                w = w * (1.0 - step[b])
            weights.append(w)
        return sum(p * w[None, :] for p, w in zip(parts, weights))

    first = records[0]
    return replace(first, wf=blend(first.wf_freq, [r.wf for r in records]),
                   tw=blend(first.tw_freq, [r.tw for r in records]), venue=dict(first.venue))


def _levels(tv: Talvek, venue: Venue, points) -> np.ndarray:
    """The current design's squared pressure at ``points`` at every model frequency, air included, (N, P)."""
    x, z = points[0], points[1]
    power, _ = tv.greens(x, z, height=venue.height, tilt=venue.tilt)
    return power * analysis.air_factor(venue, tv.frequencies(), x, z)


def shape_figures(tv: Talvek, venue: Venue, points, power=None) -> np.ndarray:
    """Per octave band, RMS and worst deviation along the audience that voicing cannot remove, dB, (bands, 2).

    The current design's levels at ``points`` (from
    :func:`talvek.design.voicing.audience_samples`) less their targets, less the mean
    over the points at each frequency (voicing's part), summed per band as
    squared pressure, less the band's mean. ``power`` is the squared pressure
    there, when the caller has it already (:func:`_levels`).
    """
    target = points[2]
    power = _levels(tv, venue, points) if power is None else power
    freq = tv.frequencies()
    dev = 10 * np.log10(np.maximum(power, 1e-30) / (20e-6) ** 2) - target[None, :]
    dev -= dev.mean(axis=1, keepdims=True)
    out = []
    for fc in OCTAVE_BANDS:
        band = 10 * np.log10(np.mean(10 ** (dev[analysis.band_mask(freq, fc)] / 10), axis=0))
        band -= band.mean()
        out.append((float(np.sqrt(np.mean(band**2))), float(np.max(np.abs(band)))))
    return np.array(out)


class DirectShare:
    """In a room, how far each design's direct share falls short of the unsteered column's, per band.

    The direct share (:mod:`talvek.room.direct_share`) of a band and audience
    line is its mean direct level less the column's radiated power level; the
    reference is the same column unsteered, measured once when this is made
    (the library then holds ``record`` again). A band is penalised by
    ``weight`` per dB by which its worst line's share falls short of the
    reference's plus ``margin_db``: a design that sends more of its sound past
    the audience than the unsteered column hears more of the room.
    """

    def __init__(self, tv: Talvek, venue: Venue, record: SFIORecord, points, *, weight: float = ROOM_WEIGHT,
                 margin_db: float = ROOM_MARGIN_DB, step_deg: float = ROOM_STEP_DEG):
        self.tv, self.venue, self.line = tv, venue, points[3]
        self.weight, self.margin_db, self.step_deg = weight, margin_db, step_deg
        self.bands = tuple(fc for fc in ROOM_BANDS if fc <= ROOM_TOP_HZ)
        freq = tv.frequencies()
        low, last = analysis.analysed_range(freq, self.bands)
        self._rows = slice(low - 1, last)
        self._freq = freq[self._rows]
        self.reference = unsteered_ratios_db(tv, record, lambda: self.ratios(_levels(tv, venue, points)))

    def ratios(self, power: np.ndarray) -> np.ndarray:
        """The current design's direct share per judged band (125 Hz - ``ROOM_TOP_HZ``) and line,
        dB, (bands, L), from its squared pressure at the audience points at every model frequency (N, P)."""
        direct = analysis.spl_db(analysis.band_power(self._freq, power[self._rows], self.bands))
        power_db = radiated_power_db(self.tv, self.venue, 0.0, step_deg=self.step_deg, bands=self.bands)
        return line_ratios_db(direct, self.line, power_db)

    def penalty(self, power: np.ndarray) -> np.ndarray:
        """Per room band (125 Hz - 8 kHz), the current design's penalty, (7,); none above ``ROOM_TOP_HZ``."""
        short = excess_db(self.ratios(power), self.reference)
        out = np.zeros(len(ROOM_BANDS))
        out[:short.size] = self.weight * np.maximum(0.0, short + self.margin_db)
        return out


def _badness(figures: np.ndarray) -> np.ndarray:
    """Per band, how far the figures are from the report's limits (RMS and worst, relative)."""
    limits = np.array([analysis.FIGURES[fc] for fc in OCTAVE_BANDS])
    return np.max(figures / limits, axis=1)


def _over(relative: np.ndarray) -> np.ndarray:
    """Relative figures with every excess over a figure added as :func:`score` counts it in a room."""
    return relative + ROOM_EXCESS_WEIGHT * np.maximum(relative - 1.0, 0.0)


def refine(tv: Talvek, venue: Venue, record: SFIORecord, voicing: VoicingResult, *, passes: int = PASSES,
           segment_deg: float = SEGMENT_DEG, fade_octaves: float = FADE_OCTAVES,
           **voice_options) -> tuple[SFIORecord, VoicingResult, RefinementResult]:
    """Refine the voiced design of ``record`` for ``venue``; the library ends holding the design returned.

    Candidates, each a full optimisation: the design as it is, per band that
    misses its figures one with targets corrected per segment, and the
    library's fit with fewer and with more woofer iterations. Every band takes
    its frequencies from the candidate whose shape along the audience is best
    there (:func:`shape_figures`); the spliced record is voiced, and kept only
    if its report is better than that of ``record``. Last, every band takes
    its frequencies from the finished design whose report is best there.

    Parameters
    ----------
    tv : Talvek
        A session holding the voiced design ``record``.
    venue : Venue
    record : SFIORecord
        The voiced record.
    voicing : VoicingResult
        Its voicing, returned unchanged when the refinement is not kept.
    passes : int, keyword-only
        Rounds of target correction.
    segment_deg : float, keyword-only
        Angle between segment ends as seen from the column, degrees.
    fade_octaves : float, keyword-only
        Width of the cross-fade between bands, octaves.
    voice_options
        Passed to :func:`talvek.design.voicing.voice`.

    Returns
    -------
    record, voicing, result
    """
    from .voicing import audience_samples

    result = RefinementResult()
    points = audience_samples(venue, with_line=True)
    share = DirectShare(tv, venue, record, points) if venue.room is not None else None

    def penalty(power=None):
        """The current design's room penalty per band (zeros without a room)."""
        if share is None:
            return np.zeros(len(ROOM_BANDS))
        return share.penalty(_levels(tv, venue, points) if power is None else power)

    pred = analysis.predict(tv, venue, grid=(2, 2), section_headroom_db=False)
    rep = analysis.report(venue, pred)
    power = _levels(tv, venue, points)
    first = (record, shape_figures(tv, venue, points, power), penalty(power))
    best = (score(rep, first[2]), record, voicing)
    result.scores.append(round(best[0], 3))
    table, nodes = segment_table(venue, segment_deg=segment_deg)
    result.segments = int(np.sum(table[:, 6] != 0))
    corrections = [[np.zeros(t.size) for t in nodes] for _ in OCTAVE_BANDS]

    def optimise(table, iterations, inactive_as_zero=venue.inactive_as_zero):
        """A candidate: the library's fit for ``table`` (no inactive line in front of an active
        one, :mod:`.shadowing`), its shape figures and its room penalty."""
        rec = tv.optimise(venue.height, venue.tilt, unshadowed(venue, table), inactive_as_zero=inactive_as_zero,
                          woofer_iterations=iterations)
        power = _levels(tv, venue, points)
        return rec, shape_figures(tv, venue, points, power), penalty(power)

    def try_splice(parts, centres=OCTAVE_BANDS):
        """Each band of ``centres`` from its record of ``parts``, voiced, scored and kept as the best if
        it is; returns the voiced record with its shape figures and room penalty, its prediction and report."""
        nonlocal best
        spliced = _splice(parts, centres, fade_octaves)
        tv.redesign(spliced)
        voiced, voiced_with = voice(tv, venue, spliced, **voice_options)
        pred = analysis.predict(tv, venue, grid=(2, 2), section_headroom_db=False)
        rep = analysis.report(venue, pred)
        power = _levels(tv, venue, points)
        figures = (voiced, shape_figures(tv, venue, points, power), penalty(power))
        s = score(rep, figures[2])
        result.scores.append(round(s, 3))
        if s < best[0]:
            best = (s, voiced, voiced_with)
            result.kept = True
        return figures, pred, rep

    candidates = [first]
    base_iterations = venue.woofer_iterations
    for iterations in (3, 8):
        if iterations != base_iterations:
            candidates.append(optimise(venue.item_table(), iterations))
    # The fit over the audience's directions only (or over the whole half plane).
    candidates.append(optimise(venue.item_table(), base_iterations, not venue.inactive_as_zero))
    finished = [(first, rep)]
    for _ in range(passes):
        wanted = [b for b in range(len(OCTAVE_BANDS)) if _badness(candidates[0][1])[b] > 1.0
                  or _needs_refining(rep["bands"][b])]
        if not wanted:
            break
        for b in wanted:
            dev = _deviation_at_nodes(pred, nodes, b)
            corrections[b] = [np.clip(c - DAMPING * d, -MOST_CHANGE_DB, MOST_CHANGE_DB)
                              for c, d in zip(corrections[b], dev)]
            table, _ = segment_table(venue, corrections[b], segment_deg=segment_deg)
            candidates.append(optimise(table, base_iterations))
        badness = np.array([_badness(f) for _, f, _ in candidates])  # (candidates, bands)
        choice = np.argmin(badness, axis=0)
        result.choices = [int(c) for c in choice]
        if np.all(choice == 0):
            break
        current, pred, rep = try_splice([candidates[c][0] for c in choice])
        result.passes += 1
        finished.append((current, rep))
        candidates[0] = current
    if share is None:
        pick = np.argmin([_badness(_report_figures(r)) for _, r in finished], axis=0)
        if np.any(pick != pick[0]):
            try_splice([finished[k][0][0] for k in pick])
    else:
        # In a room the final choice also weighs each band's direct share. The passes choose by
        # shape alone, and a candidate can carry a low-frequency beam past the audience into every
        # design spliced after it; so the woofers' bands may also come from any candidate (judged
        # by its shape figures), and the 125 Hz band, which has no figures, by its share alone.
        rows = [(f[0], _over(_badness(_report_figures(r))), f[2]) for f, r in finished]
        low = np.asarray(ROOM_BANDS[1:]) <= ROOM_TOP_HZ
        rows += [(rec, np.where(low, _over(_badness(f)), np.inf), p) for rec, f, p in candidates[1:]]
        cost = np.array([np.concatenate([[p[0]], b + p[1:]]) for _, b, p in rows])
        pick = np.argmin(cost, axis=0)
        if np.any(pick != pick[0]):
            try_splice([rows[k][0] for k in pick], ROOM_BANDS)
    tv.redesign(best[1])
    return best[1], best[2], result
