"""The three plots of ``talvek design``: coverage, levels and filters.

Each ``*_figure`` function returns a matplotlib Figure (Agg backend, no
display needed); :func:`save` writes it as PNG and records the titles of its
data panels in the PNG text field "Panels", so a reader (or a test) can see
what the picture holds without looking at it.
"""

from __future__ import annotations

import functools
import math

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (backend first)
import numpy as np  # noqa: E402
from matplotlib import colors, ticker  # noqa: E402
from matplotlib.collections import LineCollection  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402

from .analysis import FilterResponses, Prediction  # noqa: E402
from .venue import Venue  # noqa: E402

__all__ = ["coverage_figure", "levels_figure", "filters_figure", "save", "warm_up", "group_delay"]

_LINE_COLOURS = plt.rcParams["axes.prop_cycle"].by_key()["color"]


def _titles_at_fixed_height(make):
    """Panel titles at a fixed height above their axes: left to itself, matplotlib
    measures every panel's ticks to place each title, about a fifth of a figure's
    drawing time, and these panels have no ticks above them to avoid."""
    @functools.wraps(make)
    def wrapped(*args, **kwargs):
        with plt.rc_context({"axes.titley": 1.0}):
            return make(*args, **kwargs)
    return wrapped


def _band_label(fc: float) -> str:
    return f"{fc / 1000:g} kHz octave" if fc >= 1000 else f"{fc:g} Hz octave"


def _hz_axis(axis) -> None:
    """Readable ticks on a logarithmic frequency axis: 20, 50, 100, ... 1k, 2k ... 20k."""
    axis.set_major_locator(ticker.FixedLocator([20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000]))
    axis.set_major_formatter(ticker.FuncFormatter(lambda v, _: f"{v / 1000:g}k" if v >= 1000 else f"{v:g}"))
    # The 1-2-5 ticks are enough to read by, and minor ticks cost more time than the curves.
    axis.set_minor_locator(ticker.NullLocator())


def _draw_audience(ax, venue: Venue, colour="white") -> None:
    for k, a in enumerate(venue.audience):
        xs, zs = (a.start[0], a.end[0]), (a.start[1], a.end[1])
        if a.active:
            ax.plot(xs, zs, color="black", lw=3.2, solid_capstyle="butt")
            ax.plot(xs, zs, color=colour, lw=1.6, solid_capstyle="butt")
        else:
            ax.plot(xs, zs, color=colour, lw=1.4, ls=(0, (3, 2)))


def _draw_column(ax, venue: Venue) -> None:
    # From the reference point at the bottom, upwards along the tilted axis.
    length = venue.model.column_length
    t = math.radians(venue.tilt)
    ax.plot([0.0, -length * math.sin(t)], [venue.height, venue.height + length * math.cos(t)],
            color="black", lw=5, solid_capstyle="butt")


@_titles_at_fixed_height
def coverage_figure(venue: Venue, pred: Prediction) -> Figure:
    """SPL over the vertical section, one panel per octave band, audience lines drawn."""
    # 40 dB of scale ending a little above what the audience gets, so that the
    # map stays readable whether or not the design meets its targets.
    on_audience = np.concatenate([lp.band_spl.ravel() for lp in pred.lines if lp.line.active])
    top = 5.0 * math.ceil((np.percentile(on_audience, 95) + 6.0) / 5.0)
    norm = colors.Normalize(vmin=top - 40.0, vmax=top)
    # Fixed layout: the constrained layout engine costs more time than the drawing.
    fig, axes = plt.subplots(2, 3, figsize=(15, 7.5), sharex=True, sharey=True)
    fig.subplots_adjust(left=0.05, right=0.9, bottom=0.08, top=0.88, wspace=0.08, hspace=0.2)
    for ax, fc, level in zip(axes.flat, pred.bands, pred.coverage):
        mesh = ax.pcolormesh(pred.grid_x, pred.grid_z, level, shading="nearest", cmap="magma", norm=norm,
                             rasterized=True)
        _draw_audience(ax, venue)
        _draw_column(ax, venue)
        ax.set_title(_band_label(fc))
        # A little room left of x = 0 so the column (drawn there) stays in view.
        ax.set_xlim(pred.grid_x[0] - 0.02 * (pred.grid_x[-1] - pred.grid_x[0]), pred.grid_x[-1])
        ax.set_ylim(pred.grid_z[0], pred.grid_z[-1])
    for ax in axes[1]:
        ax.set_xlabel("distance from the column, m")
    for ax in axes[:, 0]:
        ax.set_ylabel("height, m")
    bar = fig.colorbar(mesh, cax=fig.add_axes([0.92, 0.08, 0.015, 0.8]), extend="both")
    bar.set_label("level, dB SPL")
    fig.suptitle(f"{venue.name}: coverage of {venue.model.name} (audience lines white, dashed = inactive; "
                 f"column black)\nat the volume that meets the targets on average: design {pred.offset_db:+.1f} dB")
    return fig


@_titles_at_fixed_height
def levels_figure(venue: Venue, pred: Prediction, *, deviation_range: float = 10.0, voicing=None) -> Figure:
    """Band SPL along each audience line against its target, and the deviation map;
    with ``voicing`` (a :class:`talvek.voicing.VoicingResult`) also its correction curve."""
    fig = plt.figure(figsize=(15, 10))
    grid = fig.add_gridspec(3, 3, height_ratios=(1, 1, 1.1), left=0.06, right=0.9, bottom=0.06, top=0.9,
                            wspace=0.22, hspace=0.38)
    shared = None
    for b, fc in enumerate(pred.bands):
        ax = fig.add_subplot(grid[b // 3, b % 3], sharex=shared, sharey=shared)
        shared = shared or ax
        for k, lp in enumerate(pred.lines):
            colour = _LINE_COLOURS[k % len(_LINE_COLOURS)]
            if lp.line.active:
                ax.plot(lp.x, lp.band_spl[b], color=colour, lw=1.6, label=lp.line.name)
                ax.plot(lp.x, lp.target, color=colour, lw=1.0, ls="--")
            else:
                ax.plot(lp.x, lp.band_spl[b], color=colour, lw=1.0, ls=":", label=f"{lp.line.name} (inactive)")
        ax.set_title(_band_label(fc))
        ax.set_xlabel("distance from the column, m")
        ax.set_ylabel("level, dB SPL")
        ax.grid(True, alpha=0.3)
        if b == 0:
            ax.legend(fontsize="small", title="solid: predicted, dashed: target", title_fontsize="small")

    # Index plot: every point of every active line side by side.
    ax = fig.add_subplot(grid[2, :2] if voicing is not None else grid[2, :])
    active = [lp for lp in pred.lines if lp.line.active]
    dev = np.concatenate([lp.spl - lp.target[None, :] for lp in active], axis=1)
    position = np.arange(dev.shape[1])
    mesh = ax.pcolormesh(position, pred.freq, dev, shading="nearest", cmap="RdBu_r",
                         norm=colors.Normalize(-deviation_range, deviation_range), rasterized=True)
    ax.set_yscale("log")
    _hz_axis(ax.yaxis)
    edge = 0
    for lp in active:
        ax.axvline(edge - 0.5, color="black", lw=1.0)
        ax.text(edge + 0.5, pred.freq[-1] * 0.85, f"{lp.line.name} →", va="top", fontsize="small",
                bbox=dict(facecolor="white", edgecolor="none", alpha=0.8, pad=1.5))
        edge += lp.x.size
    ax.set_xlabel("position along the active audience lines, start to end (point index, about "
                  f"{active[0].along[1] - active[0].along[0]:.2g} m apart)")
    ax.set_ylabel("frequency, Hz")
    ax.set_title("deviation from target")
    box = ax.get_position()
    if voicing is not None:
        bar = fig.colorbar(mesh, ax=ax, extend="both", fraction=0.04, pad=0.01)
        bar.set_label("dB")
        ax.set_xlabel(ax.get_xlabel().replace(", start to end", "") + "; colour: predicted − target")
        _correction_axes(fig.add_subplot(grid[2, 2]), voicing)
    else:
        bar = fig.colorbar(mesh, cax=fig.add_axes([0.92, box.y0, 0.012, box.height]), extend="both")
        bar.set_label("predicted − target, dB")
    fig.suptitle(f"{venue.name}: levels along the audience ({venue.model.name})\n"
                 f"at the volume that meets the targets on average: design {pred.offset_db:+.1f} dB, "
                 f"headroom there {pred.headroom_at_targets_db:+.1f} dB")
    return fig


def _correction_axes(ax, voicing) -> None:
    """The voicing gain of each section over frequency."""
    for name, gain, colour in (("woofer section", voicing.wf_db, "tab:blue"),
                               ("tweeter section", voicing.tw_db, "tab:orange")):
        if np.any(np.isfinite(gain)):
            ax.semilogx(voicing.freq, gain, color=colour, lw=1.4, label=name)
    ax.set_xlim(voicing.freq[0], voicing.freq[-1])
    _hz_axis(ax.xaxis)
    ax.set_xlabel("frequency, Hz")
    ax.set_title(f"voicing correction, dB ({voicing.passes} passes)")
    ax.grid(True, alpha=0.3)
    ax.legend(fontsize="small")


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


@_titles_at_fixed_height
def filters_figure(responses: FilterResponses, *, title: str = "") -> Figure:
    """Magnitude and group delay of the designed steering filters, per section
    (sampled by :func:`talvek.analysis.filter_responses`)."""
    freq, both, step = responses.freq, responses.values, responses.step
    points = freq.size
    sections = [("woofer section", both[0])] + ([("tweeter section", both[1])] if both[1].shape[0] else [])
    fig, axes = plt.subplots(2, len(sections), figsize=(7.5 * len(sections), 8), squeeze=False)
    fig.subplots_adjust(left=0.08, right=0.97, bottom=0.07, top=0.9, wspace=0.25, hspace=0.3)
    for col, (name, all_H) in enumerate(sections):
        H = all_H[:, :points]
        delay = _delay_between(all_H[:, points:2 * points], all_H[:, 2 * points:], step) * 1e3
        # Near a notch the phase turns abruptly and the delay means nothing; leave out
        # whatever lies 40 dB or more below the section's peak.
        delay[np.abs(H) < np.abs(H).max() * 0.01] = np.nan
        cmap = plt.get_cmap("viridis")
        # One collection per panel: a line object per channel costs far more to draw.
        channel = np.arange(H.shape[0])
        f_grid = np.broadcast_to(freq, H.shape)
        for ax, values in ((axes[0, col], 20 * np.log10(np.maximum(np.abs(H), 1e-12))), (axes[1, col], delay)):
            ax.set_xscale("log")
            lines = LineCollection(np.stack([f_grid, values], axis=-1), cmap=cmap, lw=0.9,
                                   norm=colors.Normalize(0, max(H.shape[0] - 1, 1)))
            lines.set_array(channel)
            ax.add_collection(lines)
            ax.autoscale_view()
        axes[0, col].set_title(f"{name}: magnitude ({H.shape[0]} channels)")
        axes[0, col].set_ylabel("magnitude, dB")
        peak = 20 * np.log10(np.abs(H).max() + 1e-300)
        axes[0, col].set_ylim(max(peak - 60, -200), peak + 3)
        axes[1, col].set_title(f"{name}: group delay")
        axes[1, col].text(0.01, 0.98, "(not drawn more than 40 dB below the peak)", transform=axes[1, col].transAxes,
                          va="top", fontsize="small", color="0.4")
        axes[1, col].set_ylabel("group delay, ms")
        for ax in axes[:, col]:
            ax.set_xlim(freq[0], freq[-1])
            _hz_axis(ax.xaxis)
            ax.set_xlabel("frequency, Hz")
            ax.grid(True, alpha=0.3)
        bar = fig.colorbar(plt.cm.ScalarMappable(colors.Normalize(1, H.shape[0]), cmap), ax=axes[:, col])
        bar.set_label("channel (1 = lowest)")
    fig.suptitle(title or "steering filters")
    return fig


def save(fig: Figure, path, *, dpi: int = 90) -> list[str]:
    """Write ``fig`` as PNG with the titles of its panels in the text field "Panels"."""
    panels = [ax.get_title() for ax in fig.axes if ax.get_title()]
    # Light compression: a tenth larger, encoded in about 60 % of the time.
    fig.savefig(path, dpi=dpi, metadata={"Panels": "; ".join(panels), "Software": "talvek"},
                pil_kwargs={"compress_level": 1})
    plt.close(fig)
    return panels


def warm_up() -> None:
    """Draw a small throw-away figure: the first drawing in a process loads the
    fonts and fills matplotlib's caches, which a helper does while it waits."""
    import io

    fig, ax = plt.subplots(figsize=(2, 2))
    ax.pcolormesh(np.arange(3.0), np.arange(3.0), np.eye(3), shading="nearest", rasterized=True)
    ax.plot([0, 1], [0, 1])
    ax.set_title("warm-up")
    ax.set_xlabel("x, m")
    ax.legend(["line"], fontsize="small")
    fig.savefig(io.BytesIO(), dpi=30, format="png")
    plt.close(fig)
