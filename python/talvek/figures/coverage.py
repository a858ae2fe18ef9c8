"""Coverage: SPL over the vertical section, one panel per octave band."""

from __future__ import annotations

import math

import numpy as np

from .section import draw_audience, draw_column
from .style import PAGE, band_label, mpl, new_figure

__all__ = ["coverage_figure", "level_scale"]


def level_scale(pred) -> tuple[float, float]:
    """40 dB of scale ending a little above what the audience gets, so that the map
    stays readable whether or not the design meets its targets."""
    on_audience = np.concatenate([lp.band_spl.ravel() for lp in pred.lines if lp.line.active])
    top = 5.0 * math.ceil((np.percentile(on_audience, 95) + 6.0) / 5.0)
    return top - 40.0, top


def cell_extent(gx: np.ndarray, gz: np.ndarray) -> tuple:
    """Edges of a map whose values sit at the centres of evenly spaced cells."""
    dx = (gx[-1] - gx[0]) / max(gx.size - 1, 1)
    dz = (gz[-1] - gz[0]) / max(gz.size - 1, 1)
    return gx[0] - dx / 2, gx[-1] + dx / 2, gz[0] - dz / 2, gz[-1] + dz / 2


def coverage_figure(venue, pred, *, offset_db: float | None = None):
    """SPL over the vertical section, one panel per octave band, audience lines drawn.

    ``offset_db`` (as rounded in the report) is printed in the title; default the prediction's.
    """
    m = mpl()
    low, high = level_scale(pred)
    offset = pred.offset_db if offset_db is None else offset_db
    fig = new_figure(PAGE)
    grid = fig.add_gridspec(2, 3, left=0.06, right=0.9, bottom=0.08, top=0.86, wspace=0.08, hspace=0.2)
    # A little room left of x = 0 so the column (drawn there) stays in view.
    x_range = (pred.grid_x[0] - 0.02 * (pred.grid_x[-1] - pred.grid_x[0]), pred.grid_x[-1])
    cmap = m.colormaps["magma"]
    image = None
    first = None
    for b, (fc, level) in enumerate(zip(pred.bands, pred.coverage)):
        row, col = divmod(b, 3)
        ax = fig.add_subplot(grid[row, col], sharex=first, sharey=first)
        first = first or ax
        image = ax.imshow(level, origin="lower", extent=cell_extent(pred.grid_x, pred.grid_z), aspect="auto",
                          cmap=cmap, vmin=low, vmax=high, interpolation="nearest")
        draw_audience(ax, venue)
        draw_column(ax, venue)
        ax.set_title(band_label(fc))
        ax.set_xlim(*x_range)
        ax.set_ylim(pred.grid_z[0], pred.grid_z[-1])
        # The panels share their axes: numbers and labels on the outer edges only.
        ax.tick_params(labelbottom=row == 1, labelleft=col == 0)
        if row == 1:
            ax.set_xlabel("distance from the column, m")
        if col == 0:
            ax.set_ylabel("height, m")
    bar = fig.colorbar(image, cax=fig.add_axes((0.92, 0.08, 0.015, 0.78)), extend="both")
    bar.set_label("level, dB SPL")
    fig.suptitle(f"{venue.name}: coverage of {venue.model.name} (audience lines white, dashed = inactive; "
                 f"column black)\nat the volume that meets the targets on average: design {offset:+.1f} dB")
    return fig
