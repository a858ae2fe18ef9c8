"""Levels along the audience: band SPL against the targets, the deviation map and the voicing correction."""

from __future__ import annotations

import numpy as np

from .style import PAGE, band_label, hz_axis, line_colour, mpl, new_figure

__all__ = ["levels_figure"]


def _padded(values: np.ndarray) -> tuple:
    low, high = float(np.nanmin(values)), float(np.nanmax(values))
    pad = 0.05 * (high - low) if high > low else 0.5
    return low - pad, high + pad


def levels_figure(venue, pred, *, deviation_range: float = 10.0, correction: dict | None = None,
                  offset_db: float | None = None, headroom_db: float | None = None):
    """Band SPL along each audience line against its target, and the deviation map.

    Parameters
    ----------
    correction : dict, optional
        The voicing curve as report.json keeps it (``freq_hz``, ``woofer_db``,
        ``tweeter_db``, ``passes``): drawn in a panel of its own.
    offset_db, headroom_db : float, optional
        The report's rounded gain and headroom at the targets for the title;
        default the prediction's.
    """
    m = mpl()
    offset = pred.offset_db if offset_db is None else offset_db
    headroom = pred.headroom_at_targets_db if headroom_db is None else headroom_db
    fig = new_figure(PAGE)
    grid = fig.add_gridspec(3, 3, left=0.06, right=0.92, bottom=0.07, top=0.88, wspace=0.25, hspace=0.45,
                            height_ratios=(1, 1, 1.1))
    # The band panels share one scale, so that bands compare at a glance.
    x_range = _padded(np.concatenate([lp.x for lp in pred.lines]))
    y_range = _padded(np.concatenate([lp.band_spl.ravel() for lp in pred.lines]
                                     + [lp.target for lp in pred.lines if lp.line.active]))
    for b, fc in enumerate(pred.bands):
        ax = fig.add_subplot(grid[b // 3, b % 3])
        for k, lp in enumerate(pred.lines):
            colour = line_colour(k)
            if lp.line.active:
                ax.plot(lp.x, lp.band_spl[b], color=colour, linewidth=1.6, label=lp.line.name)
                ax.plot(lp.x, lp.target, color=colour, linewidth=1.0, linestyle=(0, (3.7, 1.6)))
            else:
                ax.plot(lp.x, lp.band_spl[b], color=colour, linewidth=1.0, linestyle=(0, (1, 1.65)),
                        label=f"{lp.line.name} (inactive)")
        ax.set_xlim(*x_range)
        ax.set_ylim(*y_range)
        ax.set_title(band_label(fc))
        ax.set_xlabel("distance from the column, m")
        ax.set_ylabel("level, dB SPL")
        ax.grid(True)
        if b == 0:
            ax.legend(title="solid: predicted, dashed: target", loc="best", title_fontsize=8.5)

    # Index plot: every point of every active line side by side.
    ax = fig.add_subplot(grid[2, 0:2] if correction is not None else grid[2, :])
    active = [lp for lp in pred.lines if lp.line.active]
    dev = np.concatenate([lp.spl - lp.target[None, :] for lp in active], axis=1)
    f = pred.freq
    f_edges = np.concatenate(([f[0] ** 1.5 / f[1] ** 0.5], np.sqrt(f[1:] * f[:-1]), [f[-1] ** 1.5 / f[-2] ** 0.5]))
    mesh = ax.pcolormesh(np.arange(dev.shape[1] + 1) - 0.5, f_edges, dev, cmap=m.colormaps["RdBu_r"],
                         vmin=-deviation_range, vmax=deviation_range, shading="flat", rasterized=True)
    hz_axis(ax, f_edges[0], f_edges[-1], axis="y")
    edge = 0
    for lp in active:
        ax.axvline(edge - 0.5, color="#000000", linewidth=1.0)
        ax.text(edge + 0.5, f[-1] * 0.85, f"{lp.line.name} →", fontsize=8.5, va="top",
                bbox={"facecolor": "#ffffff", "edgecolor": "none", "pad": 1.5})
        edge += lp.x.size
    ax.set_xlim(-0.5, dev.shape[1] - 0.5)
    spacing = f"{active[0].along[1] - active[0].along[0]:.2g} m apart" if active[0].along.size > 1 else "one point"
    ax.set_xlabel(f"position along the active audience lines (point index, about {spacing}); "
                  "colour: predicted − target" if correction is not None else
                  f"position along the active audience lines, start to end (point index, about {spacing})")
    ax.set_ylabel("frequency, Hz")
    ax.set_title("deviation from target")
    bar = fig.colorbar(mesh, ax=ax, extend="both", fraction=0.04, pad=0.01)
    if correction is not None:  # above the bar: beside it, the label would run into the next panel's
        bar.ax.text(0.5, 1.07, "dB", transform=bar.ax.transAxes, ha="center", va="bottom", fontsize=9.5)
    else:
        bar.set_label("predicted − target, dB")
    if correction is not None:
        _correction_axes(fig.add_subplot(grid[2, 2]), correction)
    fig.suptitle(f"{venue.name}: levels along the audience ({venue.model.name})\n"
                 f"at the volume that meets the targets on average: design {offset:+.1f} dB, "
                 f"headroom there {headroom:+.1f} dB")
    return fig


def _correction_axes(ax, correction: dict) -> None:
    """The voicing gain of each section over frequency."""
    freq = np.asarray(correction["freq_hz"], dtype=float)
    for k, (name, key) in enumerate((("woofer section", "woofer_db"), ("tweeter section", "tweeter_db"))):
        gain = np.array([np.nan if v is None else v for v in correction.get(key) or []], dtype=float)
        if gain.size and np.any(np.isfinite(gain)):
            ax.plot(freq, gain, color=line_colour(k), linewidth=1.4, label=name)
    hz_axis(ax, freq[0], freq[-1])
    ax.set_xlabel("frequency, Hz")
    ax.set_ylabel("gain, dB")
    ax.set_title(f"voicing correction, dB ({correction['passes']} passes)")
    ax.grid(True)
    ax.legend(loc="best")
