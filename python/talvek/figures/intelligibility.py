"""Speech intelligibility in the room: STI along the audience, direct to reflected sound, the STI map."""

from __future__ import annotations

import numpy as np

from .coverage import cell_extent
from .section import draw_audience, draw_column
from .style import PAGE, band_label, line_colour, mpl, new_figure

__all__ = ["QUALIFICATION", "qualification", "intelligibility_figure"]

# The qualification bands of the STI, lower edges: A+ above 0.76, then 0.04 wide down to J, U below 0.36.
QUALIFICATION = (("A+", 0.76), ("A", 0.72), ("B", 0.68), ("C", 0.64), ("D", 0.60), ("E", 0.56), ("F", 0.52),
                 ("G", 0.48), ("H", 0.44), ("I", 0.40), ("J", 0.36), ("U", 0.0))


def qualification(sti: float) -> str:
    """The band letter of an STI value (a value on an edge belongs to the band above it)."""
    for letter, low in QUALIFICATION:
        if sti >= low - 1e-12:
            return letter
    return "U"


def _bands(ax) -> None:
    """The qualification bands as alternating shades with their letters at the right edge."""
    edges = [1.0] + [low for _, low in QUALIFICATION]
    for k, (letter, low) in enumerate(QUALIFICATION):
        high = edges[k]
        if k % 2 == 0:
            ax.axhspan(low, high, color="#eeeeee", zorder=0, linewidth=0)
        if low >= 0.3:
            ax.text(1.005, (low + min(high, low + 0.04)) / 2, letter, transform=ax.get_yaxis_transform(),
                    fontsize=8, va="center", ha="left", clip_on=False)


def intelligibility_figure(venue, pred):
    """STI of the design and of the column unsteered along every audience line, with the
    qualification bands; the direct-to-reflected ratio per octave band; the STI map of both."""
    m = mpl()
    room = pred.room
    fig = new_figure(PAGE)
    grid = fig.add_gridspec(2, 2, left=0.07, right=0.9, bottom=0.07, top=0.88, wspace=0.22, hspace=0.32)

    ax = fig.add_subplot(grid[0, 0])
    for k, (lp, rl) in enumerate(zip(pred.lines, room.lines)):
        colour = line_colour(k)
        name = lp.line.name if lp.line.active else f"{lp.line.name} (inactive)"
        ax.plot(lp.x, rl.sti, color=colour, linewidth=1.8 if lp.line.active else 1.0, label=name)
        ax.plot(lp.x, rl.sti_unsteered, color=colour, linewidth=1.0, linestyle=(0, (3.7, 1.6)))
    low = min(0.3, float(np.nanmin([np.nanmin(r.sti_unsteered) for r in room.lines])) - 0.02)
    ax.set_ylim(max(low, 0.0), 1.0)
    _bands(ax)
    ax.set_xlabel("distance from the column, m")
    ax.set_ylabel("STI")
    ax.set_title("STI along the audience (solid: design, dashed: unsteered)")
    ax.grid(True, axis="x")
    ax.legend(loc="lower left")

    ax = fig.add_subplot(grid[0, 1])
    colours = m.colormaps["viridis"](np.linspace(0, 0.9, len(room.bands_hz)))
    for b, fc in enumerate(room.bands_hz):
        for k, (lp, rl) in enumerate(zip(pred.lines, room.lines)):
            if lp.line.active:
                ax.plot(lp.x, rl.direct_db[b] - rl.reflected_db[b], color=colours[b], linewidth=1.2,
                        label=band_label(fc).replace(" octave", "") if k == _first_active(pred) else None)
    ax.axhline(0.0, color="#000000", linewidth=0.8)
    ax.set_xlabel("distance from the column, m")
    ax.set_ylabel("direct − reflected, dB")
    ax.set_title("direct to reflected sound per octave band (active lines)")
    ax.grid(True)
    ax.legend(loc="best", ncol=2, fontsize=8)

    edges = [0.0] + [low for _, low in reversed(QUALIFICATION[:-1])] + [1.0]
    norm = m.colors.BoundaryNorm(edges, 256)
    cmap = m.colormaps["viridis"]
    image = None
    for col, (values, label) in enumerate(((room.sti_map, "STI over the section: design"),
                                           (room.sti_map_unsteered, "STI over the section: unsteered"))):
        ax = fig.add_subplot(grid[1, col])
        image = ax.imshow(values, origin="lower", extent=cell_extent(pred.grid_x, pred.grid_z), aspect="auto",
                          cmap=cmap, norm=norm, interpolation="nearest")
        draw_audience(ax, venue)
        draw_column(ax, venue)
        ax.set_xlim(pred.grid_x[0] - 0.02 * (pred.grid_x[-1] - pred.grid_x[0]), pred.grid_x[-1])
        ax.set_ylim(pred.grid_z[0], pred.grid_z[-1])
        ax.set_title(label)
        ax.set_xlabel("distance from the column, m")
        ax.set_ylabel("height, m")
    bar = fig.colorbar(image, cax=fig.add_axes((0.92, 0.07, 0.015, 0.36)))
    bar.set_ticks([(a + b) / 2 for a, b in zip(edges[:-1], edges[1:])])
    bar.set_ticklabels(["U"] + [letter for letter, _ in reversed(QUALIFICATION[:-1])])
    bar.set_label("STI qualification band")
    fig.suptitle(f"{venue.name}: speech intelligibility ({venue.model.name})")
    return fig


def _first_active(pred) -> int:
    return next(k for k, lp in enumerate(pred.lines) if lp.line.active)
