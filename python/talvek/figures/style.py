"""The look shared by every figure, and how a figure is written.

matplotlib is imported here and only here, when the first figure is drawn
(or :func:`preload` starts the import on a thread while a design runs), with
the Agg backend: no display, the same pixels on every machine. The settings
make the files reproducible: no creation date, a fixed SVG hash salt and
TrueType fonts kept as text in PDF and SVG output.
"""

from __future__ import annotations

import threading

__all__ = ["HZ_TICKS", "PAGE", "FORMATS", "mpl", "new_figure", "band_label", "line_colour", "save", "preload"]

# The 1-2-5 ticks of a frequency axis, 20 Hz to 20 kHz.
HZ_TICKS = (20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000)
# Every figure and every page of the report: A4 landscape in proportion, printed at about 0.83 of this.
PAGE = (14.0, 9.9)
FORMATS = ("png", "svg", "pdf")
DPI = 90

_RC = {
    "font.family": "DejaVu Sans",
    "font.size": 10.5,
    "axes.titlesize": 11,
    "axes.titley": 1.0,         # titles at a fixed place: no search for tick labels above the axes
    "axes.labelsize": 10.5,
    "legend.fontsize": 9,
    "legend.framealpha": 0.9,
    "axes.grid": False,
    "grid.color": "#d0d0d0",
    "grid.linewidth": 0.6,
    "svg.hashsalt": "talvek",
    "svg.fonttype": "none",     # text stays text
    "pdf.fonttype": 42,         # TrueType, searchable
    "pdf.compression": 2,      # the pages are mostly figure pixels: fast Flate, a little larger
    "path.simplify": True,
    "image.interpolation": "nearest",
}

_lock = threading.Lock()
_mpl = None


def mpl():
    """The matplotlib modules this package uses, imported once: a namespace with
    ``matplotlib``, ``Figure``, ``colormaps``, ``colors``, ``ticker``, ``collections``."""
    global _mpl
    with _lock:
        if _mpl is None:
            import matplotlib

            matplotlib.use("Agg")
            import matplotlib.collections
            import matplotlib.colors
            import matplotlib.ticker
            from matplotlib.backends.backend_agg import FigureCanvasAgg
            from matplotlib.figure import Figure

            matplotlib.rcParams.update(_RC)

            class _Modules:
                pass

            m = _Modules()
            m.matplotlib, m.Figure, m.FigureCanvasAgg = matplotlib, Figure, FigureCanvasAgg
            m.colormaps, m.colors = matplotlib.colormaps, matplotlib.colors
            m.ticker, m.collections = matplotlib.ticker, matplotlib.collections
            _mpl = m
    return _mpl


def warm() -> None:
    """Import matplotlib and what writing a PNG needs, and load the fonts the figures use."""
    mpl()
    import matplotlib.image  # noqa: F401
    from matplotlib import font_manager
    from matplotlib.font_manager import FontProperties

    for weight in ("normal", "bold"):
        font_manager.get_font(font_manager.findfont(FontProperties(family="DejaVu Sans", weight=weight)))


def preload() -> threading.Thread:
    """Start importing matplotlib on a thread (about half a second) while the caller goes on."""
    thread = threading.Thread(target=warm, name="import matplotlib", daemon=True)
    thread.start()
    return thread


def new_figure(size=PAGE):
    """A figure of ``size`` inches with an Agg canvas of its own (no pyplot, no global state)."""
    m = mpl()
    fig = m.Figure(figsize=size, dpi=DPI)
    m.FigureCanvasAgg(fig)
    return fig


def band_label(fc: float) -> str:
    return f"{fc / 1000:g} kHz octave" if fc >= 1000 else f"{fc:g} Hz octave"


def line_colour(k: int):
    """Colour of audience line ``k`` (matplotlib's ten-colour qualitative cycle)."""
    return mpl().colormaps["tab10"](k % 10)


def hz_axis(ax, low: float, high: float, axis: str = "x") -> None:
    """A logarithmic frequency axis from ``low`` to ``high`` Hz with 1-2-5 ticks in plain numbers."""
    m = mpl()
    getattr(ax, f"set_{axis}scale")("log")
    getattr(ax, f"set_{axis}lim")(low, high)
    target = ax.xaxis if axis == "x" else ax.yaxis
    target.set_major_locator(m.ticker.FixedLocator([t for t in HZ_TICKS if low <= t <= high]))
    target.set_major_formatter(m.ticker.FuncFormatter(lambda v, _: f"{v / 1000:g}k" if v >= 1000 else f"{v:g}"))
    # No minor ticks: the 1-2-5 ticks and their grid read well, and each tick is a handful of artists to draw.
    target.set_minor_locator(m.ticker.NullLocator())


def panels(fig) -> list[str]:
    """Titles of the figure's data panels, in the order they were added (colour bars have none)."""
    return [ax.get_title() for ax in fig.axes if ax.get_title()]


def pixels(fig):
    """The figure drawn by Agg at its own size: (rows, columns, 3) uint8."""
    import numpy as np

    fig.canvas.draw()
    return np.asarray(fig.canvas.buffer_rgba())[..., :3].copy()


def save(fig, stem, formats=("png",)):
    """Write ``fig`` as ``stem.<format>`` for each format (none when ``stem`` is None); returns the
    :class:`talvek.figures.picture.Picture` of the Agg pixels it was drawn as.

    The figure is drawn by Agg once and compressed once: the PNG is written
    from that picture and the report pages reuse it. The titles of the data
    panels go into the file's own metadata (PNG text "Panels", SVG
    "Description", PDF "Subject"), so a reader or a test can see what a
    picture holds without looking at it. No dates.
    """
    from pathlib import Path

    from .picture import picture_of, write_png

    mpl()  # the settings above hold for every format
    titles = "; ".join(panels(fig))
    fig.canvas.draw()
    picture = picture_of(fig.canvas.buffer_rgba())
    for fmt in formats if stem is not None else ():
        path = Path(f"{stem}.{fmt}")
        if fmt == "png":
            write_png(path, picture, dpi=fig.dpi, text={"Panels": titles})
            continue
        metadata = {"svg": {"Date": None, "Description": titles, "Creator": None},
                    "pdf": {"CreationDate": None, "Subject": titles, "Creator": None}}[fmt]
        fig.savefig(path, format=fmt, metadata=metadata)
    return picture
