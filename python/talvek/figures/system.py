"""The figures of a system of several columns: coverage, levels with each column's part, arrivals and STI."""

from __future__ import annotations

import math

import numpy as np

from .coverage import cell_extent
from .style import PAGE, band_label, line_colour, mpl, new_figure

__all__ = ["system_coverage_figure", "system_levels_figure", "system_timing_figure", "draw_columns"]


def draw_columns(ax, venue, *, labels: bool = True) -> None:
    """Every column from its reference point up its tilted axis, with an arrow the way it faces."""
    for k, c in enumerate(venue.columns):
        length = c.model.column_length
        t = math.radians(c.tilt)
        top = (c.x - c.sign * length * math.sin(t), c.height + length * math.cos(t))
        ax.plot([c.x, top[0]], [c.height, top[1]], color="#000000", linewidth=5, solid_capstyle="butt")
        mid = (0.5 * (c.x + top[0]), 0.5 * (c.height + top[1]))
        ax.annotate("", (mid[0] + c.sign * 1.5, mid[1]), mid, arrowprops={"arrowstyle": "->", "color": "#000000"})
        if labels:
            ax.annotate(c.name, top, xytext=(0, 4), textcoords="offset points", ha="center", fontsize=7.5)


def _audience(ax, venue) -> None:
    for a in venue.audience:
        xs, zs = (a.start[0], a.end[0]), (a.start[1], a.end[1])
        if a.active:
            ax.plot(xs, zs, color="#000000", linewidth=3.2, solid_capstyle="butt")
            ax.plot(xs, zs, color="#ffffff", linewidth=1.6, solid_capstyle="butt")
        else:
            ax.plot(xs, zs, color="#ffffff", linewidth=1.4, linestyle=(0, (3, 2)))


def system_coverage_figure(venue, sp):
    """SPL of the whole system over the section, one panel per octave band."""
    m = mpl()
    on_audience = np.concatenate([sl.band_spl.ravel() for sl in sp.lines if sl.line.active])
    high = 5.0 * math.ceil((np.percentile(on_audience, 95) + 6.0) / 5.0)
    fig = new_figure(PAGE)
    grid = fig.add_gridspec(len(sp.bands), 1, left=0.07, right=0.9, bottom=0.07, top=0.9, hspace=0.45)
    image = None
    for b, (fc, level) in enumerate(zip(sp.bands, sp.coverage)):
        ax = fig.add_subplot(grid[b, 0])
        image = ax.imshow(level, origin="lower", extent=cell_extent(sp.grid_x, sp.grid_z), aspect="auto",
                          cmap=m.colormaps["magma"], vmin=high - 40.0, vmax=high, interpolation="nearest")
        _audience(ax, venue)
        draw_columns(ax, venue, labels=b == 0)
        ax.set_title(band_label(fc), fontsize=9)
        ax.set_xlim(sp.grid_x[0], sp.grid_x[-1])
        ax.set_ylim(sp.grid_z[0], sp.grid_z[-1])
        ax.tick_params(labelbottom=b == len(sp.bands) - 1, labelsize=8)
    ax.set_xlabel("x along the section, m")
    bar = fig.add_axes((0.92, 0.07, 0.015, 0.83))
    fig.colorbar(image, cax=bar, label="dB SPL")
    fig.suptitle(f"{venue.name}: coverage of the system of {len(venue.columns)} columns", fontsize=13)
    return fig


def system_levels_figure(venue, sp):
    """Band SPL along every line: the system's (solid), each column's own (thin), the targets (dashed)."""
    fig = new_figure(PAGE)
    grid = fig.add_gridspec(3, 2, left=0.07, right=0.97, bottom=0.07, top=0.88, wspace=0.18, hspace=0.45)
    every = np.concatenate([sl.band_spl.ravel() for sl in sp.lines] + [sl.target for sl in sp.lines if sl.line.active])
    low, high = float(np.min(every)) - 12.0, float(np.max(every)) + 3.0
    for b, fc in enumerate(sp.bands):
        ax = fig.add_subplot(grid[b // 2, b % 2])
        for s, sl in enumerate(sp.lines):
            for k in range(len(sp.columns)):
                ax.plot(sl.x, sl.column_band_spl[k, b], color=line_colour(k), linewidth=0.8, alpha=0.8,
                        label=sp.columns[k].column.name if s == 0 and b == 0 else None)
            ax.plot(sl.x, sl.band_spl[b], color="#000000", linewidth=1.6,
                    label="system" if s == 0 and b == 0 else None)
            if sl.line.active:
                ax.plot(sl.x, sl.target, color="#000000", linewidth=1.0, linestyle=(0, (3.7, 1.6)))
        ax.set_ylim(low, high)
        ax.set_title(band_label(fc))
        ax.set_xlabel("x along the section, m")
        ax.set_ylabel("dB SPL")
        ax.grid(True)
        if b == 0:
            ax.legend(loc="lower left", fontsize=7, ncol=2)
    fig.suptitle(f"{venue.name}: levels along the lines, the system's (black) and each column's", fontsize=13)
    return fig


def system_timing_figure(venue, sp, rep: dict):
    """When each column's sound arrives along the lines (its delay included), and the STI, steered and unsteered."""
    fig = new_figure(PAGE)
    room = sp.lines[0].sti is not None
    grid = fig.add_gridspec(2 if room else 1, 1, left=0.08, right=0.97, bottom=0.08, top=0.88, hspace=0.35)
    ax = fig.add_subplot(grid[0, 0])
    for s, sl in enumerate(sp.lines):
        for k, entry in enumerate(rep["columns"]):
            ax.plot(sl.x, sl.arrival_ms[k], color=line_colour(k), linewidth=1.2,
                    label=f"{entry['name']}: delay {entry['delay_ms']:.1f} ms" if s == 0 else None)
    ax.set_title("arrival of each column's direct sound (delay plus travel), ms")
    ax.set_xlabel("x along the section, m")
    ax.set_ylabel("ms")
    ax.grid(True)
    ax.legend(loc="upper left", fontsize=8)
    if room:
        ax = fig.add_subplot(grid[1, 0])
        for s, sl in enumerate(sp.lines):
            ax.plot(sl.x, sl.sti, color=line_colour(s), linewidth=1.6, label=sl.line.name)
            if sl.sti_unsteered is not None:
                ax.plot(sl.x, sl.sti_unsteered, color=line_colour(s), linewidth=1.0, linestyle=(0, (3.7, 1.6)))
        if sp.lines[0].sti_unsteered is not None:
            ax.plot([], [], color="#000000", linewidth=1.0, linestyle=(0, (3.7, 1.6)), label="unsteered")
        ax.axhline(0.5, color="#555555", linewidth=0.8, linestyle=":")
        ax.set_ylim(0.0, 1.0)
        ax.set_title("speech transmission index along the lines (male speech at the targets)"
                     + ("; the same columns unsteered, dashed" if sp.lines[0].sti_unsteered is not None else ""))
        ax.set_xlabel("x along the section, m")
        ax.set_ylabel("STI")
        ax.grid(True)
        ax.legend(loc="lower left", fontsize=8)
    fig.suptitle(f"{venue.name}: delays, arrivals and intelligibility", fontsize=13)
    return fig
