"""Voicing: give an optimised design the level per frequency its targets ask for.

The library's optimiser shapes the level *along* the audience at every
frequency, but it leaves the level *per frequency* free: each frequency's fit
rescales its desired magnitudes on its own, the two driver sections are
optimised separately, and the fixed crossover meets the prediction twice. So
a design's deviation from target is mostly a set of horizontal stripes over
frequency. Voicing measures those stripes with the library's own prediction
(``Talvek_Greens``) and removes them:

1. predict the levels along the active audience lines at every model frequency;
2. per frequency, the mean deviation from target (dB) over those points,
   smoothed over a fraction of an octave;
3. turn it into one gain per frequency for all channels of a section (so the
   steering shape, the relation between the channels, stays as optimised),
   with at most ``boost_limit_db`` of boost relative to the mean correction
   (a frequency the column cannot reach is not bought with headroom);
4. scale the SFIO record and design again (``Talvek_Put_SFIO_and_design_SFs``);
   repeat until no gain changes by more than ``tolerance_db`` or after
   ``max_passes``.

The mean correction itself is applied too, so a voiced record meets its
targets in absolute level: the library's headroom of the voiced design is the
headroom at the targets.

Outside the analysed bands (below 177 Hz and above 11.3 kHz) the allowed
boost above the mean correction fades to none within half an octave, and no
channel's steering gain there may exceed the section's largest gain just
inside them: the filters do not buy bass extension with boost where the
woofers roll off (the library's own fit does, by 10 dB and more at 50-100 Hz,
and that bass boost, not the audience's bands, would set the headroom), nor
treble above the top band. In the crossover region, where the fixed
crossover meets the prediction twice and the correction boosts most, the
woofers' gains stay at or under their largest gain below it and the tweeters
(which have more headroom there) carry the rest: the next pass sees the sum
and raises the correction, which then reaches only the tweeters.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field, replace

import numpy as np

from ..analysis import OCTAVE_BANDS, air_factor, analysed_range
from ..api import SFIORecord, Talvek
from ..venue import Venue

__all__ = ["VoicingResult", "audience_samples", "level_error", "smooth_log", "voice", "section_gains"]

BOOST_LIMIT_DB = 6.0
SMOOTHING_OCTAVES = 1.0 / 6.0
TOLERANCE_DB = 0.1
MAX_PASSES = 5
BASS_HZ = 177.0  # Hz, the bottom of the 250 Hz octave band


@dataclass
class VoicingResult:
    """What voicing did, on the model's frequency grid.

    Attributes
    ----------
    freq : (N,) ndarray
        The model frequencies, Hz.
    total_db : (N,) ndarray
        The correction, dB: one curve over frequency, smooth and within the
        boost limit.
    wf_db, tw_db : (N,) ndarray
        Gain applied to the woofer and tweeter sections, dB; NaN where the
        section has no response. The correction, less the caps outside the
        analysed bands and, for the woofers, in the crossover region.
    passes : int
        Designs made by voicing.
    changes_db : list of float
        Largest change of any gain in each pass, dB.
    error_before_db, error_after_db : (N,) ndarray
        Mean deviation from target over the active audience per frequency,
        dB, of the design as optimised and as voiced.
    """

    freq: np.ndarray
    total_db: np.ndarray
    wf_db: np.ndarray
    tw_db: np.ndarray
    passes: int = 0
    changes_db: list = field(default_factory=list)
    error_before_db: np.ndarray | None = None
    error_after_db: np.ndarray | None = None

    def band_summary(self, bands=OCTAVE_BANDS) -> list[dict]:
        """Mean correction per octave band, dB (energy-weighted)."""
        out = []
        half = math.sqrt(2.0)
        for fc in bands:
            inside = (self.freq >= fc / half) & (self.freq < fc * half)
            c = self.total_db[inside]
            out.append({"band_hz": fc, "correction_db": round(float(10 * np.log10(np.mean(10 ** (c / 10)))), 2)
                        if c.size else None})
        return out


def audience_samples(venue: Venue, *, spacing: float = 0.5, most: int = 80, with_line: bool = False):
    """Points of the active audience lines: x, z (m), target (dB SPL), each (P,).

    About ``spacing`` m apart, at most ``most`` per line: the correction is a
    mean over the audience, so a few dozen points per line carry it.
    ``with_line`` adds a fourth array, each point's active line (0, 1, ...).
    """
    xs, zs, ts, ks = [], [], [], []
    for a in venue.audience:
        if not a.active:
            continue
        length = math.hypot(a.end[0] - a.start[0], a.end[1] - a.start[1])
        x, z, along = a.points(max(spacing, length / (most - 1)))
        xs.append(x)
        zs.append(z)
        ts.append(a.target(along))
        ks.append(np.full(x.size, len(ks)))
    out = np.concatenate(xs), np.concatenate(zs), np.concatenate(ts)
    return out + (np.concatenate(ks),) if with_line else out


def level_error(tv: Talvek, venue: Venue, points) -> np.ndarray:
    """Mean deviation from target over ``points`` per model frequency, dB, (N,).

    The mean of the deviations in dB (not of the powers), the figure whose
    RMS the report gives; a point in a notch counts as the dB it lacks. The
    levels are those a listener hears, less the air's absorption.
    """
    x, z, target = points
    power, _ = tv.greens(x, z, height=venue.height, tilt=venue.tilt)
    power *= air_factor(venue, tv.frequencies(), x, z)
    level = 10 * np.log10(np.maximum(power, 1e-30) / (20e-6) ** 2)
    return np.mean(level - target[None, :], axis=1)


def smooth_log(freq: np.ndarray, values: np.ndarray, octaves: float) -> np.ndarray:
    """Fractional-octave smoothing: a Hann-weighted mean over ``octaves`` (full width) in log2 f.

    Near the ends of the grid the window is cut, not mirrored, so an edge is
    not pulled towards values beyond it.
    """
    lf = np.log2(freq)
    d = (lf[None, :] - lf[:, None]) / octaves
    w = np.where(np.abs(d) < 0.5, np.cos(np.pi * d) ** 2, 0.0)
    return (w @ values) / w.sum(axis=1)


def section_gains(record: SFIORecord, freq: np.ndarray, wf_db: np.ndarray, tw_db: np.ndarray) -> SFIORecord:
    """A copy of ``record`` with every channel of a section scaled by its gain at each frequency."""
    def scaled(f, H, g):
        if not H.size:
            return H.copy()
        k = _grid_index(freq, f)
        return H * (10 ** (g[k] / 20))[None, :]

    return replace(record, wf=scaled(record.wf_freq, record.wf, wf_db), tw=scaled(record.tw_freq, record.tw, tw_db),
                   venue=dict(record.venue))


def _grid_index(grid: np.ndarray, f: np.ndarray) -> np.ndarray:
    """Index into ``grid`` of every frequency of ``f`` (the sections use the model grid)."""
    k = np.clip(np.searchsorted(grid, f), 0, grid.size - 1)
    lower = np.clip(k - 1, 0, grid.size - 1)
    k = np.where(np.abs(grid[lower] - f) < np.abs(grid[k] - f), lower, k)
    if np.any(np.abs(grid[k] - f) > 1e-6 * f):
        raise ValueError("the record's frequencies are not on the model's grid")
    return k


def _on_grid(grid: np.ndarray, f: np.ndarray, H: np.ndarray) -> np.ndarray:
    """Mask of the grid frequencies at which a section (frequencies ``f``, responses ``H``) has a response."""
    mask = np.zeros(grid.size, bool)
    if H.size:
        mask[_grid_index(grid, f)] = True
    return mask


def _bounded(total: np.ndarray, freq: np.ndarray, analysed: np.ndarray, boost_limit_db: float,
             smoothing_octaves: float) -> np.ndarray:
    """The cumulative correction within its limits (see the module text).

    The allowed boost falls from ``boost_limit_db`` at the edges of the
    analysed bands to none half an octave beyond them, along a raised cosine
    in log frequency, and the clipped curve is smoothed again, so that a limit
    leaves no step for the FIR design to ring on.
    """
    lf = np.log2(freq)
    lo, hi = lf[analysed][[0, -1]]
    outside = np.maximum(np.maximum(lo - lf, lf - hi), 0.0)
    ramp = np.where(outside < 0.5, np.cos(np.pi * outside) ** 2, 0.0)
    # The limit is relative to the mean of the limited curve itself: clipping
    # lowers the mean, so iterate to the fixed point (a contraction: it moves
    # the mean by at most the clipped fraction of each step).
    mean = float(np.mean(total[analysed]))
    for _ in range(50):
        limited = np.minimum(smooth_log(freq, np.minimum(total, mean + boost_limit_db * ramp), smoothing_octaves),
                             mean + boost_limit_db * ramp)
        settled = float(np.mean(limited[analysed]))
        if abs(settled - mean) < 1e-6:
            break
        mean = settled
    return limited


def _out_of_band_cap(f: np.ndarray, H: np.ndarray, low_hz: float, high_hz: float) -> np.ndarray:
    """Per frequency of a section, the gain (dB, <= 0) that keeps every channel's gain below
    ``low_hz`` (above ``high_hz``) at or under the section's largest gain in the sixth of an
    octave just above ``low_hz`` (just below ``high_hz``)."""
    cap = np.zeros(f.size)
    if not H.size:
        return cap
    peak = np.abs(H).max(axis=0)
    edge = 2 ** (1 / 6)
    for beyond, near in ((f < low_hz, (f >= low_hz) & (f < low_hz * edge)),
                         (f > high_hz, (f <= high_hz) & (f > high_hz / edge))):
        if beyond.any() and near.any():
            cap[beyond] = np.minimum(0.0, 20 * np.log10(peak[near].max() / np.maximum(peak[beyond], 1e-300)))
    return cap


def _crossover_cap(f: np.ndarray, H: np.ndarray, low_hz: float, overlap_hz: float) -> np.ndarray:
    """Per woofer frequency, the gain (dB, <= 0) that keeps every woofer channel's gain from
    ``overlap_hz`` up (where the tweeters play too) at or under the woofers' largest gain
    between ``low_hz`` and ``overlap_hz``: the tweeters, with more headroom there, carry
    what the crossover region needs beyond it."""
    cap = np.zeros(f.size)
    below = (f >= low_hz) & (f < overlap_hz)
    if not H.size or not below.any():
        return cap
    peak = np.abs(H).max(axis=0)
    above = f >= overlap_hz
    cap[above] = np.minimum(0.0, 20 * np.log10(peak[below].max() / np.maximum(peak[above], 1e-300)))
    return cap


def voice(tv: Talvek, venue: Venue, record: SFIORecord, *, boost_limit_db: float = BOOST_LIMIT_DB,
          smoothing_octaves: float = SMOOTHING_OCTAVES, tolerance_db: float = TOLERANCE_DB,
          max_passes: int = MAX_PASSES, bass_hz: float = BASS_HZ) -> tuple[SFIORecord, VoicingResult]:
    """Voice the design of ``record`` for ``venue``; the library ends holding the voiced design.

    Parameters
    ----------
    tv : Talvek
        A session whose current design is ``record`` (as left by ``optimise``).
    venue : Venue
        The venue the record was optimised for.
    record : SFIORecord
        The optimised steering responses.
    boost_limit_db : float, keyword-only
        Most boost any frequency gets above the mean correction, dB.
    smoothing_octaves : float, keyword-only
        Full width of the smoothing window, octaves.
    tolerance_db : float, keyword-only
        Stop when no gain changes by more than this, dB.
    max_passes : int, keyword-only
        Most designs made.
    bass_hz : float, keyword-only
        Below this no gain may exceed the section's largest gain just above
        it, Hz (see the module text).

    Returns
    -------
    record : SFIORecord
        The voiced record (the library's current design).
    result : VoicingResult
    """
    freq = tv.frequencies()
    first, last = analysed_range(freq)
    analysed = np.zeros(freq.size, bool)
    analysed[first - 1:last] = True
    points = audience_samples(venue)
    has_wf, has_tw = (_on_grid(freq, f, H) for f, H in ((record.wf_freq, record.wf), (record.tw_freq, record.tw)))

    error = level_error(tv, venue, points)
    result = VoicingResult(freq, np.zeros(freq.size), np.where(has_wf, 0.0, np.nan), np.where(has_tw, 0.0, np.nan),
                           error_before_db=error)
    total = np.zeros(freq.size)
    bass = np.zeros(record.wf_freq.size)
    treble = np.zeros(record.tw_freq.size)
    voiced = record
    for _ in range(max_passes):
        wanted = _bounded(total - smooth_log(freq, error, smoothing_octaves), freq, analysed, boost_limit_db,
                          smoothing_octaves)
        change = float(np.max(np.abs(wanted - total)))
        if result.passes and change < tolerance_db:
            break
        total = wanted
        voiced = section_gains(record, freq, total, total)
        bass = _out_of_band_cap(voiced.wf_freq, voiced.wf, bass_hz, freq[last - 1])
        treble = _out_of_band_cap(voiced.tw_freq, voiced.tw, bass_hz, freq[last - 1])
        if record.tw.size:
            bass = bass + _crossover_cap(voiced.wf_freq, voiced.wf * (10 ** (bass / 20))[None, :], bass_hz,
                                         record.tw_freq[0])
        voiced.wf = voiced.wf * (10 ** (bass / 20))[None, :]
        voiced.tw = voiced.tw * (10 ** (treble / 20))[None, :]
        tv.redesign(voiced)
        result.passes += 1
        result.changes_db.append(round(change, 3))
        error = level_error(tv, venue, points)
    result.total_db = total
    result.wf_db = np.where(has_wf, total, np.nan)
    if record.wf.size:
        result.wf_db[_grid_index(freq, record.wf_freq)] += bass
    result.tw_db = np.where(has_tw, total, np.nan)
    if record.tw.size:
        result.tw_db[_grid_index(freq, record.tw_freq)] += treble
    result.error_after_db = error
    voiced.venue = dict(record.venue)
    return voiced, result
