"""A small raster plotting layer: exactly what the figures of :mod:`talvek.plots` draw.

Panels with linear or logarithmic axes, lines (solid, dashed, dotted),
cell maps, ticks, labels, legends and colour bars, drawn with Pillow into
a PNG. A general plotting library spends most of a figure's time in
Python objects per tick and per text; here a figure is a few hundred
Pillow calls, drawn at twice the size and reduced by averaging, which
gives smooth lines and text.

Coordinates of a figure are pixels of the written image, origin at the top
left; :meth:`Figure.rect` turns figure fractions (origin at the bottom
left) into them. Sizes of text and lines are in points (1/72 inch).
"""

from __future__ import annotations

import math
import threading

import numpy as np
from PIL import Image, ImageDraw, ImageFont, PngImagePlugin

__all__ = ["Figure", "Axes", "Colormap", "MAGMA", "VIRIDIS", "RED_BLUE", "LINE_COLOURS", "nice_ticks"]

# Debian's fonts-dejavu-core.
FONT_FILE = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
SCALE = 2  # drawn at twice the size, then each 2 x 2 block averaged
GRID = (231, 231, 231)
FRAME = (0, 0, 0)
LINE_COLOURS = ("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd",
                "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf")


def rgb(colour) -> tuple:
    """``"#rrggbb"`` or an (r, g, b) tuple as an (r, g, b) tuple."""
    if isinstance(colour, str):
        return tuple(int(colour[k:k + 2], 16) for k in (1, 3, 5))
    return tuple(int(c) for c in colour)


class Colormap:
    """Colours at evenly spaced points from 0 to 1, interpolated linearly in between;
    values below 0 and above 1 take the end colours."""

    def __init__(self, anchors: str):
        table = np.array([rgb("#" + a) for a in anchors.split()], dtype=float)
        steps = np.linspace(0.0, 1.0, 256)
        at = np.linspace(0.0, 1.0, len(table))
        self.lut = np.stack([np.interp(steps, at, table[:, k]) for k in range(3)], axis=-1).round().astype(np.uint8)

    def __call__(self, t) -> np.ndarray:
        """Colours of ``t`` (any shape, 0 to 1; NaN: white) as uint8 (..., 3)."""
        t = np.asarray(t, dtype=float)
        out = self.lut[np.clip(np.nan_to_num(t, nan=0.0) * 255.0 + 0.5, 0, 255).astype(np.intp)]
        out[np.isnan(t)] = 255
        return out

    def colour(self, t: float) -> tuple:
        return tuple(int(c) for c in self(np.array([t]))[0])


# 33 samples of the perceptually uniform maps (magma, viridis) and of the
# diverging red-blue map, blue for negative.
MAGMA = Colormap(
    "000004 030312 0a0822 130d34 1d1147 29115a 36106b 440f76 51127c 5d177f 6a1c81 762181 832681 902a81 9c2e7f "
    "aa337d b73779 c43c75 d0416f dc4869 e75263 ef5d5e f56b5c f9795d fc8961 fd9869 fea772 feb67c fec488 fed395 "
    "fde2a3 fcf0b2 fcfdbf")
VIRIDIS = Colormap(
    "440154 470d60 48186a 482374 472d7b 453781 424086 3e4989 3b528b 375b8d 33638d 2f6b8e 2c728e 297a8e 26828e "
    "23898e 21918c 1f988b 1fa088 22a785 28ae80 32b67a 3fbc73 4ec36b 5ec962 70cf57 84d44b 98d83e addc30 c2df23 "
    "d8e219 ece51b fde725")
RED_BLUE = Colormap(
    "053061 0e4179 175290 1f63a8 2a71b2 3480b9 3f8ec0 529dc8 6bacd1 84bcd9 9bc9e0 aed3e6 c2ddec d4e6f1 e0ecf3 "
    "ecf2f5 f7f6f6 f9eee7 fbe5d8 fddcc9 fbccb4 f8bb9e f5aa89 ee9677 e48066 db6b55 d05548 c53e3d ba2832 ab162a "
    "930e26 7c0722 67001f")


_fonts = threading.local()


def _font(pixels: int) -> ImageFont.FreeTypeFont:
    # One font object per thread: FreeType's faces must not be shared by threads
    # that render at once, and loading one takes a millisecond.
    cache = _fonts.__dict__.setdefault("by_size", {})
    if pixels not in cache:
        try:
            cache[pixels] = ImageFont.truetype(FONT_FILE, pixels)
        except OSError:  # elsewhere than Debian: Pillow looks in the system's font folders
            try:
                cache[pixels] = ImageFont.truetype("DejaVuSans.ttf", pixels)
            except OSError:
                raise OSError(f"plots need the DejaVu Sans font ({FONT_FILE}; Debian: fonts-dejavu-core)") from None
    return cache[pixels]


def nice_ticks(low: float, high: float, most: int) -> np.ndarray:
    """Ticks at a round step (1, 2, 2.5 or 5 times a power of ten) inside [low, high], at most ``most``."""
    span = high - low
    if not span > 0 or not math.isfinite(span):
        return np.array([low])
    for power in range(math.floor(math.log10(span / most)), math.floor(math.log10(span)) + 2):
        for m in (1.0, 2.0, 2.5, 5.0):
            step = m * 10.0 ** power
            first, last = math.ceil(low / step - 1e-9), math.floor(high / step + 1e-9)
            if last - first + 1 <= most:
                return np.arange(first, last + 1) * step
    return np.array([low, high])


def _tick_label(value: float, step: float) -> str:
    """``value`` with as many decimals as ``step`` needs (2.5 steps one more), minus sign typeset."""
    decimals = max(0, -math.floor(math.log10(step) + 1e-9)) if step > 0 else 0
    scaled = step * 10 ** decimals
    if abs(scaled - round(scaled)) > 1e-6:
        decimals += 1
    text = f"{value:.{decimals}f}"
    if float(text) == 0.0:
        text = text.lstrip("-")
    return text.replace("-", "\N{MINUS SIGN}")


def frequency_label(value: float) -> str:
    """20, 50, ... 1k, 2k ... 20k."""
    return f"{value / 1000:g}k" if value >= 1000 else f"{value:g}"


class Figure:
    """A white image of ``width`` x ``height`` inches at ``dpi``, written by :meth:`save`."""

    def __init__(self, width: float, height: float, *, dpi: int = 90):
        self.dpi = dpi
        self.width, self.height = round(width * dpi), round(height * dpi)
        self.image = Image.new("RGB", (self.width * SCALE, self.height * SCALE), "white")
        self.draw = ImageDraw.Draw(self.image)
        self.axes: list[Axes] = []

    def px(self, points: float) -> float:
        """Points as pixels of the written image."""
        return points * self.dpi / 72.0

    def font(self, size: float) -> ImageFont.FreeTypeFont:
        """The font at ``size`` points, for the drawing scale."""
        return _font(round(self.px(size) * SCALE))

    def stroke(self, points: float) -> int:
        """A line width of ``points`` in pixels of the drawing, at least one."""
        return max(int(round(self.px(points) * SCALE)), 1)

    def polyline(self, draw: ImageDraw.ImageDraw, points: np.ndarray, colour: tuple, width: float,
                 dash: tuple | None = None) -> None:
        """A line through ``points`` (n, 2) in pixels of the drawing; ``dash``: (on, off) in points."""
        w = self.stroke(width)
        for piece in (_dashes(points, [self.px(p) * SCALE for p in dash]) if dash else [points]):
            if len(piece) > 1:
                draw.line(piece.ravel().tolist(), fill=colour, width=w, joint="curve" if w > 2 else None)

    def rect(self, left: float, bottom: float, width: float, height: float) -> tuple:
        """Figure fractions (origin bottom left) as pixel edges (x0, y0, x1, y1), origin top left."""
        return (left * self.width, (1.0 - bottom - height) * self.height,
                (left + width) * self.width, (1.0 - bottom) * self.height)

    def add_axes(self, box: tuple, **scales) -> Axes:
        """A panel inside pixel edges ``box``; ``xscale``/``yscale`` "linear" or "log"."""
        ax = Axes(self, box, **scales)
        self.axes.append(ax)
        return ax

    def text(self, x: float, y: float, text: str, *, size: float = 10.0, anchor: str = "la", colour="#000000",
             vertical: bool = False, background=None) -> None:
        """``text`` at pixel (x, y); ``anchor`` as Pillow's (l/m/r, a/m/d). ``vertical`` reads
        upwards, anchored at the middle of its left edge. Lines split at "\\n"."""
        font = self.font(size)
        fill = rgb(colour)
        if vertical:
            left, top, right, bottom = font.getbbox(text)
            strip = Image.new("L", (right + 2, bottom + 2), 0)
            ImageDraw.Draw(strip).text((0, 0), text, font=font, fill=255)
            strip = strip.transpose(Image.Transpose.ROTATE_90)
            at = (round(x * SCALE), round(y * SCALE - strip.height / 2))
            self.image.paste(fill, (*at, at[0] + strip.width, at[1] + strip.height), strip)
            return
        lines = text.split("\n")
        step = font.size * 1.2
        y0 = y * SCALE - (len(lines) - 1) * step * {"a": 0.0, "m": 0.5, "d": 1.0}[anchor[1]]
        for k, line in enumerate(lines):
            at = (x * SCALE, y0 + k * step)
            if background is not None:
                pad = self.px(1.5) * SCALE
                l, t, r, b = self.draw.textbbox(at, line, font=font, anchor=anchor)
                self.draw.rectangle((l - pad, t - pad, r + pad, b + pad), fill=rgb(background))
            self.draw.text(at, line, font=font, fill=fill, anchor=anchor)

    def text_width(self, text: str, size: float = 10.0) -> float:
        return self.font(size).getlength(text) / SCALE

    def suptitle(self, text: str) -> None:
        self.text(self.width / 2, self.px(6), text, size=12, anchor="ma")

    def colorbar(self, box: tuple, cmap: Colormap, low: float, high: float, label: str, *,
                 extend: bool = False) -> None:
        """A vertical colour bar in pixel edges ``box``, ticks and ``label`` on its right;
        with ``extend``, triangles for values beyond each end."""
        x0, y0, x1, y1 = box
        tip = (x1 - x0) if extend else 0.0
        top, bottom = y0 + tip, y1 - tip
        rows = max(int(round((bottom - top) * SCALE)), 1)
        ramp = cmap(np.linspace(1.0, 0.0, rows))[:, None, :].repeat(max(int(round((x1 - x0) * SCALE)), 1), axis=1)
        self.image.paste(Image.fromarray(ramp), (round(x0 * SCALE), round(top * SCALE)))
        s = SCALE
        if extend:
            self.draw.polygon([(x0 * s, top * s), (x1 * s, top * s), ((x0 + x1) / 2 * s, y0 * s)], fill=cmap.colour(1.0))
            self.draw.polygon([(x0 * s, bottom * s), (x1 * s, bottom * s), ((x0 + x1) / 2 * s, y1 * s)],
                              fill=cmap.colour(0.0))
        outline = [(x0, top), ((x0 + x1) / 2, y0), (x1, top), (x1, bottom), ((x0 + x1) / 2, y1), (x0, bottom), (x0, top)]
        self.draw.line([(u * s, v * s) for u, v in outline], fill=FRAME, width=self.stroke(0.8))
        ticks = nice_ticks(low, high, max(3, min(9, int((bottom - top) / 30))))
        step = ticks[1] - ticks[0] if ticks.size > 1 else 1.0
        widest = 0.0
        for t in ticks:
            y = bottom - (t - low) / (high - low) * (bottom - top)
            self.draw.line([(x1 * s, y * s), ((x1 + self.px(3.5)) * s, y * s)], fill=FRAME, width=self.stroke(0.8))
            text = _tick_label(t, step)
            widest = max(widest, self.text_width(text))
            self.text(x1 + self.px(5.5), y, text, anchor="lm")
        self.text(x1 + self.px(8) + widest, (y0 + y1) / 2, label, vertical=True)

    def save(self, path) -> list[str]:
        """Write the figure as PNG, the titles of its panels in the text field "Panels"; returns them."""
        for ax in self.axes:
            ax.finish()
        panels = [ax.title for ax in self.axes if ax.title]
        info = PngImagePlugin.PngInfo()
        info.add_text("Panels", "; ".join(panels))
        info.add_text("Software", "talvek")
        self.image.reduce(SCALE).save(path, format="PNG", pnginfo=info, compress_level=1)
        return panels


class Axes:
    """One panel: data drawn into its own image (so everything outside it is cut off),
    then framed, ticked and labelled on the figure by :meth:`finish`."""

    def __init__(self, fig: Figure, box: tuple, *, xscale: str = "linear", yscale: str = "linear"):
        self.fig = fig
        self.box = box
        self.scale = (xscale, yscale)
        self.limits = [None, None]
        self.title = ""
        self.labels = ["", ""]
        self.grid = False
        self.tick_labels = [True, True]
        self.ticks = [None, None]        # fixed tick positions per axis, else automatic
        self._ops = []                   # drawing calls, run once the limits are known
        self._extent = [[math.inf, -math.inf], [math.inf, -math.inf]]
        self._legend = None
        self._notes = []
        self._line_data = []             # (x, y) of every line, for the legend's placement
        self._tight = False              # cells fill the panel: automatic limits without margins

    # -------------------------------------------------------------- set-up
    def set_xlim(self, low: float, high: float) -> None:
        self.limits[0] = (float(low), float(high))

    def set_ylim(self, low: float, high: float) -> None:
        self.limits[1] = (float(low), float(high))

    def _widen(self, axis: int, values) -> None:
        values = np.asarray(values, dtype=float)
        values = values[np.isfinite(values)]
        if self.scale[axis] == "log":
            values = values[values > 0]
        if values.size:
            self._extent[axis] = [min(self._extent[axis][0], values.min()), max(self._extent[axis][1], values.max())]

    # -------------------------------------------------------------- data
    def lines(self, x, y, colour, *, width: float = 1.5, dash: tuple | None = None) -> None:
        """A line through (x, y) (NaN breaks it); ``dash``: (on, off) lengths in points."""
        x, y = np.asarray(x, dtype=float), np.asarray(y, dtype=float)
        self._widen(0, x)
        self._widen(1, y)
        self._line_data.append((x, y))
        self._ops.append(lambda d: self._draw_line(d, x, y, rgb(colour), width, dash))

    def segment(self, x, y, colour, *, width: float = 1.0) -> None:
        """A line not counted in the automatic limits (guides, markers)."""
        x, y = np.asarray(x, dtype=float), np.asarray(y, dtype=float)
        self._ops.append(lambda d: self._draw_line(d, x, y, rgb(colour), width, None))

    def cells(self, x, y, values, cmap: Colormap, low: float, high: float) -> None:
        """Cells centred on the points x (columns) and y (rows) of ``values`` (len(y), len(x)),
        coloured by ``cmap`` from ``low`` to ``high``; a cell reaches halfway to its neighbours
        (halfway as the axis measures: geometric on a logarithmic one)."""
        values = np.asarray(values, float)
        edges = [_edges(np.asarray(c, float), self.scale[axis] == "log") for axis, c in enumerate((x, y))]
        self._widen(0, edges[0])
        self._widen(1, edges[1])
        colours = cmap((values - low) / (high - low))
        self._tight = True
        self._ops.insert(0, lambda d: self._draw_cells(*edges, colours))

    def note(self, x: float, y: float, text: str, *, size: float = 10.0, anchor: str = "la", colour="#000000",
             background=None, axes_fraction: bool = False) -> None:
        """Text at data (x, y), or at fractions of the panel with ``axes_fraction``."""
        self._notes.append((x, y, text, size, anchor, colour, background, axes_fraction))

    def legend(self, entries: list, *, title: str = "", size: float = 8.33) -> None:
        """Entries (label, colour, width, dash) in the corner where the data leaves most room."""
        self._legend = (entries, title, size)

    # -------------------------------------------------------------- transforms
    def _limits(self, axis: int) -> tuple:
        if self.limits[axis] is not None:
            return self.limits[axis]
        low, high = self._extent[axis]
        if not low <= high:
            low, high = (1.0, 10.0) if self.scale[axis] == "log" else (0.0, 1.0)
        if self.scale[axis] == "log" or self._tight:
            return low, high
        pad = 0.05 * (high - low) if high > low else 0.5
        return low - pad, high + pad

    def _to_unit(self, axis: int, values) -> np.ndarray:
        low, high = self._limits(axis)
        values = np.asarray(values, dtype=float)
        if self.scale[axis] == "log":
            with np.errstate(divide="ignore", invalid="ignore"):
                return (np.log(values) - math.log(low)) / (math.log(high) - math.log(low))
        return (values - low) / (high - low)

    def _from_unit(self, axis: int, t) -> np.ndarray:
        low, high = self._limits(axis)
        if self.scale[axis] == "log":
            return np.exp(math.log(low) + t * (math.log(high) - math.log(low)))
        return low + t * (high - low)

    def to_pixels(self, x, y) -> tuple:
        """Data to pixels of the written figure."""
        x0, y0, x1, y1 = self.box
        return x0 + self._to_unit(0, x) * (x1 - x0), y1 - self._to_unit(1, y) * (y1 - y0)

    # -------------------------------------------------------------- drawing
    def _draw_line(self, d, x, y, colour, width, dash) -> None:
        u, v = self.to_pixels(x, y)
        u, v = (u - self.box[0]) * SCALE, (v - self.box[1]) * SCALE
        ok = np.isfinite(u) & np.isfinite(v)
        # Runs of finite points, each drawn as one polyline (or as dashes).
        edges = np.flatnonzero(np.diff(np.concatenate(([0], ok.astype(np.int8), [0]))))
        for start, stop in zip(edges[::2], edges[1::2]):
            self.fig.polyline(d, np.stack([u[start:stop], v[start:stop]], axis=-1), colour, width, dash)

    def _draw_cells(self, x_edges, y_edges, colours) -> None:
        h, w = self._image.height, self._image.width
        # The data coordinate at each pixel centre, then the cell it falls in.
        cx = self._from_unit(0, (np.arange(w) + 0.5) / w)
        cy = self._from_unit(1, 1.0 - (np.arange(h) + 0.5) / h)
        ix = _cell_index(x_edges, cx)
        iy = _cell_index(y_edges, cy)
        picture = colours.take(np.maximum(iy, 0), axis=0).take(np.maximum(ix, 0), axis=1)
        picture[iy < 0] = 255
        picture[:, ix < 0] = 255
        self._image.paste(Image.fromarray(picture), (0, 0))

    def _tick_positions(self, axis: int) -> tuple:
        low, high = sorted(self._limits(axis))
        if self.ticks[axis] is not None:
            values = np.array([t for t in self.ticks[axis] if low <= t <= high])
            return values, [frequency_label(t) for t in values]
        x0, y0, x1, y1 = self.box
        length = (x1 - x0) if axis == 0 else (y1 - y0)
        values = nice_ticks(low, high, max(3, min(9, int(length / (60 if axis == 0 else 40)))))
        step = values[1] - values[0] if values.size > 1 else 1.0
        return values, [_tick_label(v, step) for v in values]

    def finish(self) -> None:
        """Draw the data, then the frame, ticks, labels, title, notes and legend."""
        fig, s = self.fig, SCALE
        x0, y0, x1, y1 = self.box
        self._image = Image.new("RGB", (max(int(round((x1 - x0) * s)), 1), max(int(round((y1 - y0) * s)), 1)), "white")
        d = ImageDraw.Draw(self._image)
        ticks = [self._tick_positions(0), self._tick_positions(1)]
        # Pixel positions of the ticks along each axis.
        at_x = self.to_pixels(np.asarray(ticks[0][0], float), self._limits(1)[0])[0]
        at_y = self.to_pixels(self._limits(0)[0], np.asarray(ticks[1][0], float))[1]
        line = fig.stroke(0.8)
        if self.grid:
            for u in at_x:
                d.line([((u - x0) * s, 0), ((u - x0) * s, self._image.height)], fill=GRID, width=line)
            for v in at_y:
                d.line([(0, (v - y0) * s), (self._image.width, (v - y0) * s)], fill=GRID, width=line)
        for op in self._ops:
            op(d)
        fig.image.paste(self._image, (round(x0 * s), round(y0 * s)))
        fig.draw.rectangle((round(x0 * s), round(y0 * s), round(x1 * s), round(y1 * s)), outline=FRAME, width=line)
        tick = fig.px(3.5)
        for u, text in zip(at_x, ticks[0][1]):
            fig.draw.line([(u * s, y1 * s), (u * s, (y1 + tick) * s)], fill=FRAME, width=line)
            if self.tick_labels[0]:
                fig.text(u, y1 + tick + fig.px(3.5), text, anchor="ma")
        widest = 0.0
        for v, text in zip(at_y, ticks[1][1]):
            fig.draw.line([(x0 * s, v * s), ((x0 - tick) * s, v * s)], fill=FRAME, width=line)
            if self.tick_labels[1]:
                widest = max(widest, fig.text_width(text))
                fig.text(x0 - tick - fig.px(3.5), v, text, anchor="rm")
        if self.labels[0]:
            fig.text((x0 + x1) / 2, y1 + tick + fig.px(3.5) + fig.px(10) * 1.2 + fig.px(4), self.labels[0], anchor="ma")
        if self.labels[1]:
            height = fig.font(10).getbbox("0")[3] / s
            fig.text(x0 - tick - fig.px(3.5) - widest - fig.px(4) - height * 1.3, (y0 + y1) / 2, self.labels[1],
                     vertical=True)
        if self.title:
            fig.text((x0 + x1) / 2, y0 - fig.px(6), self.title, size=12, anchor="md")
        for x, y, text, size, anchor, colour, background, fraction in self._notes:
            u, v = ((x0 + x * (x1 - x0), y1 - y * (y1 - y0)) if fraction else self.to_pixels(x, y))
            fig.text(float(u), float(v), text, size=size, anchor=anchor, colour=colour, background=background)
        if self._legend is not None:
            self._draw_legend(*self._legend)

    def _draw_legend(self, entries: list, title: str, size: float) -> None:
        fig, s = self.fig, SCALE
        row = fig.px(size) * 1.45
        sample = fig.px(size) * 2.2
        width = max([fig.text_width(e[0], size) + sample + fig.px(size) * 1.2 for e in entries]
                    + [fig.text_width(title, size)]) + fig.px(size)
        height = row * (len(entries) + (1 if title else 0)) + fig.px(size) * 0.6
        x0, y0, x1, y1 = self.box
        margin = fig.px(5)
        corners = [(x1 - margin - width, y0 + margin), (x0 + margin, y0 + margin),
                   (x0 + margin, y1 - margin - height), (x1 - margin - width, y1 - margin - height)]
        drawn = [self.to_pixels(x, y) for x, y in self._line_data]

        def hidden(corner: tuple) -> int:  # drawn points the legend would cover there
            left, top = corner
            return sum(int(np.count_nonzero((u >= left) & (u <= left + width) & (v >= top) & (v <= top + height)))
                       for u, v in drawn)
        left, top = min(corners, key=hidden)
        fig.draw.rectangle((left * s, top * s, (left + width) * s, (top + height) * s), fill=(255, 255, 255),
                           outline=(204, 204, 204), width=fig.stroke(0.8))
        y = top + fig.px(size) * 0.3 + row / 2
        if title:
            fig.text(left + width / 2, y, title, size=size, anchor="mm")
            y += row
        for label, colour, lw, dash in entries:
            u = left + fig.px(size) * 0.5
            fig.polyline(fig.draw, np.array([[u * s, y * s], [(u + sample) * s, y * s]]), rgb(colour), lw, dash)
            fig.text(u + sample + fig.px(size) * 0.6, y, label, size=size, anchor="lm")
            y += row


def _edges(centres: np.ndarray, log: bool = False) -> np.ndarray:
    """Cell edges halfway between ascending centres, the outer ones half a step beyond."""
    if log:
        return np.exp(_edges(np.log(centres)))
    if centres.size == 1:
        return np.array([centres[0] - 0.5, centres[0] + 0.5])
    mid = (centres[1:] + centres[:-1]) / 2
    return np.concatenate(([2 * centres[0] - mid[0]], mid, [2 * centres[-1] - mid[-1]]))


def _cell_index(edges: np.ndarray, at: np.ndarray) -> np.ndarray:
    """The cell between ``edges`` of each point of ``at`` (−1 outside every cell)."""
    k = np.searchsorted(edges, at, side="right") - 1
    k[(at < edges[0]) | (at > edges[-1])] = -1
    return np.minimum(k, edges.size - 2)


def _dashes(points: np.ndarray, pattern: list) -> list:
    """A polyline (n, 2) cut into dashes of ``pattern`` = (on, off) lengths along it."""
    on, off = pattern
    step = np.hypot(*np.diff(points, axis=0).T)
    along = np.concatenate(([0.0], np.cumsum(step)))
    starts, stops = [], []
    start = 0.0
    while start < along[-1]:
        stop = min(start + on, along[-1])
        starts.append(start)
        stops.append(stop)
        start = stop + off
    # Each dash: its two ends on the line, and the vertices strictly between them.
    ends = [np.stack([np.interp(at, along, points[:, k]) for k in range(2)], axis=-1) for at in (starts, stops)]
    first = np.searchsorted(along, starts, side="right")
    last = np.searchsorted(along, stops, side="left")
    return [np.concatenate((ends[0][d:d + 1], points[first[d]:last[d]], ends[1][d:d + 1])) for d in range(len(starts))]
