"""Spatial refinement: targets per audience segment, corrected from the prediction.

Voicing removes the error that is the same all along the audience. What is
left is spatial, and most of it comes from the optimiser's own model: it fits
levels per direction as seen from the column, in the far field, while a
listener a few metres from a three-metre column is in its near field (a hot
spot in front of it), and at 4-8 kHz the tweeter line's grating lobes reach
the seats under it. The library cannot be taught the near field, but it can be
given targets that anticipate it:

1. split every active audience line into segments, about ``segment_deg``
   degrees apart as seen from the column (the optimiser's own grid is angle);
2. per octave band, predict the voiced design's levels along the lines and
   take the deviation from target, less the band's mean (voicing's part), at
   the segment ends;
3. optimise once per band that misses its figures (RMS above 1 dB or worst
   beyond 2.5 dB) with every segment's target lowered by most of that
   deviation (so a hot spot is asked for less), and take each band's
   frequencies of the SFIO record from its own run (each frequency is fitted
   on its own, so records of different runs splice; a short cross-fade in log
   frequency joins them);
4. voice the spliced record and keep it only if it is better than the design
   before (RMS and worst deviation over all bands).

Everything goes through the library's exports: the optimiser with a finer
venue table, ``Talvek_Put_SFIO_and_design_SFs`` and ``Talvek_Greens``.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field, replace

import numpy as np

from . import analysis
from .analysis import OCTAVE_BANDS
from .api import SFIORecord, Talvek
from .venue import Venue
from .voicing import VoicingResult, voice

__all__ = ["RefinementResult", "refine", "segment_table", "score"]

SEGMENT_DEG = 3.0
MOST_SEGMENTS = 10
MOST_CHANGE_DB = 10.0
DAMPING = 0.8
FADE_OCTAVES = 1.0 / 6.0


@dataclass
class RefinementResult:
    """What the refinement did: ``kept`` tells whether its design replaced the voiced one."""

    kept: bool = False
    passes: int = 0
    scores: list = field(default_factory=list)       # score of the voiced design, then of each pass
    segments: int = 0                                 # audience segments of the refined table


def score(rep: dict) -> float:
    """One number for a report, dB: mean band RMS, plus a quarter of the worst
    |deviation|, plus half of any headroom missing at the targets."""
    rms = [b["rms_db"] for b in rep["bands"]]
    worst = [abs(b["worst_db"]) for b in rep["bands"]]
    return float(np.mean(rms) + 0.25 * max(worst) + 0.5 * max(0.0, -rep["headroom_at_targets_db"]))


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


def refine(tv: Talvek, venue: Venue, record: SFIORecord, voicing: VoicingResult, *, passes: int = 2,
           segment_deg: float = SEGMENT_DEG, fade_octaves: float = FADE_OCTAVES,
           **voice_options) -> tuple[SFIORecord, VoicingResult, RefinementResult]:
    """Refine the voiced design of ``record`` for ``venue``; the library ends holding the design returned.

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
        Rounds of target correction (each optimises once per octave band).
    segment_deg : float, keyword-only
        Angle between segment ends as seen from the column, degrees.
    fade_octaves : float, keyword-only
        Width of the cross-fade between bands, octaves.
    voice_options
        Passed to :func:`talvek.voicing.voice`.

    Returns
    -------
    record, voicing, result
    """
    result = RefinementResult()
    bands = OCTAVE_BANDS
    pred = analysis.predict(tv, venue, grid=(2, 2))
    rep = analysis.report(venue, pred)
    best = (score(rep), record, voicing)
    result.scores.append(round(best[0], 3))
    table, nodes = segment_table(venue, segment_deg=segment_deg)
    result.segments = int(np.sum(table[:, 6] != 0))
    corrections = [[np.zeros(t.size) for t in nodes] for _ in bands]
    current = record
    for _ in range(passes):
        wanted = [b for b in range(len(bands)) if _needs_refining(rep["bands"][b])]
        if not wanted:
            break
        runs = []
        for b in range(len(bands)):
            if b not in wanted:
                runs.append(current)  # this band keeps the design it has
                continue
            dev = _deviation_at_nodes(pred, nodes, b)
            corrections[b] = [np.clip(c - DAMPING * d, -MOST_CHANGE_DB, MOST_CHANGE_DB)
                              for c, d in zip(corrections[b], dev)]
            table, _ = segment_table(venue, corrections[b], segment_deg=segment_deg)
            runs.append(tv.optimise(venue.height, venue.tilt, table, inactive_as_zero=venue.inactive_as_zero,
                                    woofer_iterations=venue.woofer_iterations))
        spliced = _splice(runs, bands, fade_octaves)
        tv.redesign(spliced)
        current, current_voicing = voice(tv, venue, spliced, **voice_options)
        pred = analysis.predict(tv, venue, grid=(2, 2))
        rep = analysis.report(venue, pred)
        s = score(rep)
        result.passes += 1
        result.scores.append(round(s, 3))
        if s < best[0]:
            best = (s, current, current_voicing)
            result.kept = True
    tv.redesign(best[1])
    return best[1], best[2], result
