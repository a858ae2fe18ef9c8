"""The three plots of ``talvek design``: coverage, levels and filters.

Each ``*_figure`` function returns a :class:`talvek.raster.Figure`;
:func:`save` writes it as PNG and records the titles of its data panels in
the PNG text field "Panels", so a reader (or a test) can see what the
picture holds without looking at it.
"""

from __future__ import annotations

import math
import threading

import numpy as np

from .analysis import FilterResponses, Prediction
from .raster import LINE_COLOURS, MAGMA, RED_BLUE, VIRIDIS, Axes, Figure
from .venue import Venue

__all__ = ["coverage_figure", "levels_figure", "filters_figure", "save", "FigureThreads", "group_delay"]

# The 1-2-5 ticks of a frequency axis, 20 Hz to 20 kHz.
HZ_TICKS = (20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000)
SMALL = 8.33  # points: the size of legends and notes
# Dash patterns in points, as on and off lengths per point of line width.
DASHED = (3.7, 1.6)
DOTTED = (1.0, 1.65)


def _dash(pattern: tuple, width: float) -> tuple:
    return (pattern[0] * width, pattern[1] * width)


def _grid(fig: Figure, rows: int, cols: int, *, left: float, right: float, bottom: float, top: float,
          wspace: float, hspace: float, heights=None):
    """Pixel boxes of a table of panels, spaces given as fractions of the mean panel size;
    returns ``box(row, first_col, last_col=first_col)``."""
    heights = np.ones(rows) if heights is None else np.asarray(heights, dtype=float)
    cell_w = (right - left) / (cols + wspace * (cols - 1))
    cell_h = (top - bottom) / (rows + hspace * (rows - 1))
    row_h = cell_h * rows * heights / heights.sum()
    row_top = top - np.concatenate(([0.0], np.cumsum(row_h[:-1] + hspace * cell_h)))

    def box(row: int, first: int, last: int | None = None) -> tuple:
        last = first if last is None else last
        x0 = left + first * cell_w * (1 + wspace)
        x1 = left + last * cell_w * (1 + wspace) + cell_w
        return fig.rect(x0, row_top[row] - row_h[row], x1 - x0, row_h[row])
    return box


def _band_label(fc: float) -> str:
    return f"{fc / 1000:g} kHz octave" if fc >= 1000 else f"{fc:g} Hz octave"


def _draw_audience(ax: Axes, venue: Venue, colour="#ffffff") -> None:
    for a in venue.audience:
        xs, zs = (a.start[0], a.end[0]), (a.start[1], a.end[1])
        if a.active:
            ax.segment(xs, zs, "#000000", width=3.2)
            ax.segment(xs, zs, colour, width=1.6)
        else:
            ax.lines(xs, zs, colour, width=1.4, dash=(3 * 1.4, 2 * 1.4))


def _draw_column(ax: Axes, venue: Venue) -> None:
    # From the reference point at the bottom, upwards along the tilted axis.
    length = venue.model.column_length
    t = math.radians(venue.tilt)
    ax.segment([0.0, -length * math.sin(t)], [venue.height, venue.height + length * math.cos(t)], "#000000",
               width=5)


def coverage_figure(venue: Venue, pred: Prediction) -> Figure:
    """SPL over the vertical section, one panel per octave band, audience lines drawn."""
    # 40 dB of scale ending a little above what the audience gets, so that the
    # map stays readable whether or not the design meets its targets.
    on_audience = np.concatenate([lp.band_spl.ravel() for lp in pred.lines if lp.line.active])
    top = 5.0 * math.ceil((np.percentile(on_audience, 95) + 6.0) / 5.0)
    fig = Figure(15, 7.5)
    box = _grid(fig, 2, 3, left=0.05, right=0.9, bottom=0.08, top=0.88, wspace=0.08, hspace=0.2)
    # A little room left of x = 0 so the column (drawn there) stays in view.
    x_range = (pred.grid_x[0] - 0.02 * (pred.grid_x[-1] - pred.grid_x[0]), pred.grid_x[-1])
    for b, (fc, level) in enumerate(zip(pred.bands, pred.coverage)):
        row, col = divmod(b, 3)
        ax = fig.add_axes(box(row, col))
        ax.cells(pred.grid_x, pred.grid_z, level, MAGMA, top - 40.0, top)
        _draw_audience(ax, venue)
        _draw_column(ax, venue)
        ax.title = _band_label(fc)
        ax.set_xlim(*x_range)
        ax.set_ylim(pred.grid_z[0], pred.grid_z[-1])
        # The panels share their axes: numbers and labels on the outer edges only.
        ax.tick_labels = [row == 1, col == 0]
        ax.labels = ["distance from the column, m" if row == 1 else "", "height, m" if col == 0 else ""]
    fig.colorbar(fig.rect(0.92, 0.08, 0.015, 0.8), MAGMA, top - 40.0, top, "level, dB SPL", extend=True)
    fig.suptitle(f"{venue.name}: coverage of {venue.model.name} (audience lines white, dashed = inactive; "
                 f"column black)\nat the volume that meets the targets on average: design {pred.offset_db:+.1f} dB")
    return fig


def _padded(values: np.ndarray) -> tuple:
    low, high = float(np.nanmin(values)), float(np.nanmax(values))
    pad = 0.05 * (high - low) if high > low else 0.5
    return low - pad, high + pad


def levels_figure(venue: Venue, pred: Prediction, *, deviation_range: float = 10.0, voicing=None) -> Figure:
    """Band SPL along each audience line against its target, and the deviation map;
    with ``voicing`` (a :class:`talvek.voicing.VoicingResult`) also its correction curve."""
    fig = Figure(15, 10)
    box = _grid(fig, 3, 3, left=0.06, right=0.9, bottom=0.06, top=0.9, wspace=0.22, hspace=0.38,
                heights=(1, 1, 1.1))
    # The band panels share one scale, so that bands compare at a glance.
    x_range = _padded(np.concatenate([lp.x for lp in pred.lines]))
    y_range = _padded(np.concatenate([lp.band_spl.ravel() for lp in pred.lines]
                                     + [lp.target for lp in pred.lines if lp.line.active]))
    entries = []
    for k, lp in enumerate(pred.lines):
        colour = LINE_COLOURS[k % len(LINE_COLOURS)]
        entries.append((lp.line.name, colour, 1.6, None) if lp.line.active
                       else (f"{lp.line.name} (inactive)", colour, 1.0, _dash(DOTTED, 1.0)))
    for b, fc in enumerate(pred.bands):
        ax = fig.add_axes(box(b // 3, b % 3))
        for k, lp in enumerate(pred.lines):
            colour = LINE_COLOURS[k % len(LINE_COLOURS)]
            if lp.line.active:
                ax.lines(lp.x, lp.band_spl[b], colour, width=1.6)
                ax.lines(lp.x, lp.target, colour, width=1.0, dash=_dash(DASHED, 1.0))
            else:
                ax.lines(lp.x, lp.band_spl[b], colour, width=1.0, dash=_dash(DOTTED, 1.0))
        ax.set_xlim(*x_range)
        ax.set_ylim(*y_range)
        ax.title = _band_label(fc)
        ax.labels = ["distance from the column, m", "level, dB SPL"]
        ax.grid = True
        if b == 0:
            ax.legend(entries, title="solid: predicted, dashed: target", size=SMALL)

    # Index plot: every point of every active line side by side.
    x0, y0, x1, y1 = box(2, 0, 1) if voicing is not None else box(2, 0, 2)
    if voicing is not None:  # room for the colour bar on the right
        bar = (x1 - 0.04 * (x1 - x0), y0, x1 - 0.025 * (x1 - x0), y1)
        x1 -= 0.06 * (x1 - x0)
    else:
        bar = (fig.rect(0.92, 0, 0.012, 0)[0], y0, fig.rect(0.932, 0, 0, 0)[0], y1)
    ax = fig.add_axes((x0, y0, x1, y1), yscale="log")
    active = [lp for lp in pred.lines if lp.line.active]
    dev = np.concatenate([lp.spl - lp.target[None, :] for lp in active], axis=1)
    ax.cells(np.arange(dev.shape[1]), pred.freq, dev, RED_BLUE, -deviation_range, deviation_range)
    ax.ticks[1] = HZ_TICKS
    edge = 0
    for lp in active:
        ax.segment([edge - 0.5, edge - 0.5], [pred.freq[0] / 2, pred.freq[-1] * 2], "#000000", width=1.0)
        ax.note(edge + 0.5, pred.freq[-1] * 0.85, f"{lp.line.name} →", size=SMALL, background="#ffffff")
        edge += lp.x.size
    spacing = f"{active[0].along[1] - active[0].along[0]:.2g} m apart"
    ax.labels = [f"position along the active audience lines (point index, about {spacing}); "
                 "colour: predicted − target" if voicing is not None else
                 f"position along the active audience lines, start to end (point index, about {spacing})",
                 "frequency, Hz"]
    ax.title = "deviation from target"
    fig.colorbar(bar, RED_BLUE, -deviation_range, deviation_range,
                 "dB" if voicing is not None else "predicted − target, dB", extend=True)
    if voicing is not None:
        _correction_axes(fig.add_axes(box(2, 2), xscale="log"), voicing)
    fig.suptitle(f"{venue.name}: levels along the audience ({venue.model.name})\n"
                 f"at the volume that meets the targets on average: design {pred.offset_db:+.1f} dB, "
                 f"headroom there {pred.headroom_at_targets_db:+.1f} dB")
    return fig


def _correction_axes(ax: Axes, voicing) -> None:
    """The voicing gain of each section over frequency."""
    entries = []
    for name, gain, colour in (("woofer section", voicing.wf_db, LINE_COLOURS[0]),
                               ("tweeter section", voicing.tw_db, LINE_COLOURS[1])):
        if np.any(np.isfinite(gain)):
            ax.lines(voicing.freq, gain, colour, width=1.4)
            entries.append((name, colour, 1.4, None))
    ax.set_xlim(voicing.freq[0], voicing.freq[-1])
    ax.ticks[0] = HZ_TICKS
    ax.labels = ["frequency, Hz", ""]
    ax.title = f"voicing correction, dB ({voicing.passes} passes)"
    ax.grid = True
    ax.legend(entries, size=SMALL)


def group_delay(response, freq: np.ndarray, *, step: float = 1.0) -> np.ndarray:
    """Group delay -dφ/dω of ``response(f) -> (..., N)`` complex at ``freq``, seconds.

    Central difference over ``step`` Hz taken as the angle of a ratio, which
    needs no phase unwrapping: exact for a pure delay and accurate while the
    delay stays well below 1 / step seconds.
    """
    f = np.asarray(freq, dtype=float)
    return _delay_between(response(f - step / 2), response(f + step / 2), step)


def _delay_between(low: np.ndarray, high: np.ndarray, step: float) -> np.ndarray:
    return -np.angle(high * np.conj(low)) / (2 * np.pi * step)


def filters_figure(responses: FilterResponses, *, title: str = "") -> Figure:
    """Magnitude and group delay of the designed steering filters, per section
    (sampled by :func:`talvek.analysis.filter_responses`)."""
    freq, both, step = responses.freq, responses.values, responses.step
    points = freq.size
    sections = [("woofer section", both[0])] + ([("tweeter section", both[1])] if both[1].shape[0] else [])
    fig = Figure(7.5 * len(sections), 8)
    box = _grid(fig, 2, len(sections), left=0.08, right=0.97, bottom=0.07, top=0.9, wspace=0.25, hspace=0.3)
    # Row by row, so that the panels' titles list the magnitudes first.
    axes = [[None] * len(sections) for _ in range(2)]
    for row in range(2):
        for col in range(len(sections)):
            x0, y0, x1, y1 = box(row, col)
            axes[row][col] = fig.add_axes((x0, y0, x1 - 0.2 * (x1 - x0), y1), xscale="log")
    for col, (name, all_H) in enumerate(sections):
        H = all_H[:, :points]
        delay = _delay_between(all_H[:, points:2 * points], all_H[:, 2 * points:], step) * 1e3
        # Near a notch the phase turns abruptly and the delay means nothing; leave out
        # whatever lies 40 dB or more below the section's peak.
        delay[np.abs(H) < np.abs(H).max() * 0.01] = np.nan
        magnitude = 20 * np.log10(np.maximum(np.abs(H), 1e-12))
        colours = [tuple(c) for c in VIRIDIS(np.arange(H.shape[0]) / max(H.shape[0] - 1, 1)).tolist()]
        for ax, values in ((axes[0][col], magnitude), (axes[1][col], delay)):
            for c in range(H.shape[0]):
                ax.lines(freq, values[c], colours[c], width=0.9)
            ax.set_xlim(freq[0], freq[-1])
            ax.ticks[0] = HZ_TICKS
            ax.grid = True
        peak = 20 * np.log10(np.abs(H).max() + 1e-300)
        axes[0][col].set_ylim(max(peak - 60, -200), peak + 3)
        axes[0][col].title = f"{name}: magnitude ({H.shape[0]} channels)"
        axes[0][col].labels = ["frequency, Hz", "magnitude, dB"]
        axes[1][col].title = f"{name}: group delay"
        axes[1][col].labels = ["frequency, Hz", "group delay, ms"]
        axes[1][col].note(0.01, 0.98, "(not drawn more than 40 dB below the peak)", size=SMALL, colour="#666666",
                          axes_fraction=True)
        top_box, bottom_box = box(0, col), box(1, col)
        x0, x1 = top_box[0], top_box[2]
        fig.colorbar((x1 - 0.13 * (x1 - x0), top_box[1], x1 - 0.09 * (x1 - x0), bottom_box[3]), VIRIDIS, 1,
                     H.shape[0], "channel (1 = lowest)")
    fig.suptitle(title or "steering filters")
    return fig


def save(fig: Figure, path) -> list[str]:
    """Write ``fig`` as PNG with the titles of its panels in the text field "Panels"."""
    return fig.save(path)


class FigureThreads:
    """Figures drawn on threads while the caller goes on.

    Drawing is mostly numpy and Pillow, which let go of the interpreter lock
    for their work, and the library lets go of it while it predicts: a figure
    handed over before a prediction is mostly drawn when the prediction ends,
    and figures drawn side by side take about three quarters of the time of
    one after the other.
    """

    def __init__(self):
        self._threads: list[threading.Thread] = []
        self._failures: list[BaseException] = []

    def submit(self, make, path, *args, **kwargs) -> None:
        """Start writing ``make(*args, **kwargs)`` to ``path``."""
        def draw():
            try:
                save(make(*args, **kwargs), path)
            except BaseException as e:  # raised again by finish, in the caller's thread
                self._failures.append(e)

        thread = threading.Thread(target=draw, name=f"figure {path}", daemon=True)
        thread.start()
        self._threads.append(thread)

    def finish(self) -> None:
        """Wait for every figure submitted; raise the first failure, if any."""
        for thread in self._threads:
            thread.join()
        self._threads = []
        if self._failures:
            failure, self._failures = self._failures[0], []
            raise failure
