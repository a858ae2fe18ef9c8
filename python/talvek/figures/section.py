"""The vertical section: the column at x = 0 and the audience lines, drawn on any axes."""

from __future__ import annotations

import math

from .style import line_colour


def draw_audience(ax, venue, colour="#ffffff", *, outline=True) -> None:
    """Active lines solid (outlined so they show on any map), inactive lines dashed."""
    for a in venue.audience:
        xs, zs = (a.start[0], a.end[0]), (a.start[1], a.end[1])
        if a.active:
            if outline:
                ax.plot(xs, zs, color="#000000", linewidth=3.2, solid_capstyle="butt")
            ax.plot(xs, zs, color=colour, linewidth=1.6, solid_capstyle="butt")
        else:
            ax.plot(xs, zs, color=colour, linewidth=1.4, linestyle=(0, (3, 2)))


def draw_column(ax, venue) -> None:
    """From the reference point at the bottom, upwards along the tilted axis."""
    length = venue.model.column_length
    t = math.radians(venue.tilt)
    ax.plot([0.0, -length * math.sin(t)], [venue.height, venue.height + length * math.cos(t)], color="#000000",
            linewidth=5, solid_capstyle="butt")


def section_axes(ax, venue, *, labels=True) -> None:
    """The drawn section of the venue to scale: column, where it aims, audience lines named with their targets."""
    (x0, x1), (z0, z1) = venue.extent()
    draw_column(ax, venue)
    length = venue.model.column_length
    t = math.radians(venue.tilt)
    centre = (-0.5 * length * math.sin(t), venue.height + 0.5 * length * math.cos(t))
    reach = 0.6 * (x1 - x0)
    ax.plot([centre[0], centre[0] + reach * math.cos(t)], [centre[1], centre[1] + reach * math.sin(t)],
            color="#555555", linewidth=1.0, linestyle=":")
    for k, a in enumerate(venue.audience):
        colour = line_colour(k)
        xs, zs = (a.start[0], a.end[0]), (a.start[1], a.end[1])
        ax.plot(xs, zs, color=colour, linewidth=2.4 if a.active else 1.4,
                linestyle="-" if a.active else (0, (3, 2)))
        if labels:
            levels = (f"{a.levels[0]:g} → {a.levels[1]:g} dB SPL" if a.active else "inactive")
            ax.annotate(f"{a.name}\n{levels}", ((xs[0] + xs[1]) / 2, (zs[0] + zs[1]) / 2), xytext=(0, 8),
                        textcoords="offset points", ha="center", va="bottom", fontsize=8.5, color=colour)
    ax.set_xlim(min(x0, -0.05 * (x1 - x0)), x1)
    ax.set_ylim(z0, z1)
    ax.set_aspect("equal", adjustable="datalim")
    ax.set_xlabel("distance from the column, m")
    ax.set_ylabel("height, m")
    ax.grid(True)


def section_figure(venue, size):
    """The drawn section alone, ``size`` inches, as the report's title page shows it."""
    from .style import new_figure

    fig = new_figure(size)
    ax = fig.add_axes((0.06, 0.1, 0.92, 0.82))
    section_axes(ax, venue)
    ax.set_title("the vertical section through the column: audience lines with their target levels "
                 "(dashed = inactive), the column black, its aim dotted")
    return fig
