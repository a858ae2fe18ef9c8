"""Venue files: the column, its mounting and the audience lines of one venue.

A venue file is JSON (see "Venue files" in README.md). Every problem is reported as
one :class:`VenueError` line naming the file, the line and the field, e.g.
``hall.json:12: audience[2].to: expected [x, z] in metres, got [3.0]``.
"""

from __future__ import annotations

import json
import json.decoder
import json.scanner
import math
import os
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from .api import ModelInfo, model_info

__all__ = ["VenueError", "AudienceLine", "Venue", "load_venue", "parse_venue"]

MAX_COORDINATE = 1.0e4  # m; a venue is at most kilometres across
MAX_LEVEL = 200.0       # dB SPL
MAX_ITERATIONS = 1000


class VenueError(ValueError):
    """A venue file that cannot be used; the message is one line."""


@dataclass
class AudienceLine:
    """A straight audience line in the vertical plane through the column."""

    name: str
    start: tuple[float, float]   # (x, z), m
    end: tuple[float, float]     # (x, z), m
    levels: tuple[float, float]  # target dB SPL at start and end
    active: bool = True
    line: int = 0                # line of the venue file it came from

    def points(self, spacing: float = 0.25) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Points along the line: (x, z, distance from start), about ``spacing`` m apart."""
        (x1, z1), (x2, z2) = self.start, self.end
        length = math.hypot(x2 - x1, z2 - z1)
        n = max(int(math.ceil(length / spacing)) + 1, 2)
        t = np.linspace(0.0, 1.0, n)
        return x1 + t * (x2 - x1), z1 + t * (z2 - z1), t * length

    def target(self, along: np.ndarray) -> np.ndarray:
        """Target level at distances ``along`` from the start, linear between the ends, dB SPL."""
        length = math.hypot(self.end[0] - self.start[0], self.end[1] - self.start[1])
        t = along / length if length > 0 else np.zeros_like(along)
        return self.levels[0] + t * (self.levels[1] - self.levels[0])


@dataclass
class Venue:
    """Everything ``talvek design`` needs for one venue."""

    name: str
    model: ModelInfo
    height: float                 # m, the column's reference point
    tilt: float                   # degrees, positive aims upwards
    audience: list[AudienceLine]
    inactive_as_zero: bool = False
    woofer_iterations: int | None = None
    section_x: tuple[float, float] | None = None  # coverage-map extent, m
    section_z: tuple[float, float] | None = None
    source: str = "<venue>"
    text: str = field(default="", repr=False)

    def item_table(self) -> np.ndarray:
        """The venue-item table of the optimiser: (n, 7) x1, x2, z1, z2, level1, level2, active."""
        return np.array([[a.start[0], a.end[0], a.start[1], a.end[1], a.levels[0], a.levels[1],
                          1.0 if a.active else 0.0] for a in self.audience])

    def out_of_sight(self) -> list[tuple[int, str, tuple[float, float]]]:
        """End points behind the column's front plane: (line number from 1, end name, point).

        The front plane passes through the column axis, so the test needs
        only the reference point and the tilt: a point (x, z) is behind it when
        x cos(tilt) + (z - height) sin(tilt) < 0, whichever driver section is
        looked from.
        """
        t = math.radians(self.tilt)
        c, s = math.cos(t), math.sin(t)
        behind = []
        for k, a in enumerate(self.audience, start=1):
            for end_name, (x, z) in (("from", a.start), ("to", a.end)):
                if x * c + (z - self.height) * s < 0:
                    behind.append((k, end_name, (x, z)))
        return behind

    def extent(self) -> tuple[tuple[float, float], tuple[float, float]]:
        """Coverage-map extent (x range, z range), m: the file's, or one around the audience."""
        xs = [p[0] for a in self.audience for p in (a.start, a.end)]
        zs = [p[1] for a in self.audience for p in (a.start, a.end)]
        top_of_column = self.height + self.model.column_length
        x_range = self.section_x or (0.0, max(xs) * 1.05 + 1.0)
        z_range = self.section_z or (min(0.0, min(zs)), max(max(zs), top_of_column) + 2.0)
        return x_range, z_range


# ---------------------------------------------------------------- JSON with line numbers

class _Object(dict):
    """A JSON object that remembers where it and each of its keys stood."""

    line = 0
    key_lines: dict


def _line_of(text: str, index: int) -> int:
    return text.count("\n", 0, index) + 1


def _key_positions(s: str, start: int, end: int) -> list[int]:
    """Offsets of the keys of the object spanning s[start:end] (its own keys only)."""
    keys, depth, i = [], 0, start
    while i < end:
        ch = s[i]
        if ch == '"':
            j = i + 1
            while s[j] != '"':
                j += 2 if s[j] == "\\" else 1
            if depth == 0:
                k = j + 1
                while s[k] in " \t\r\n":
                    k += 1
                if s[k] == ":":
                    keys.append(i)
            i = j + 1
            continue
        if ch in "[{":
            depth += 1
        elif ch in "]}":
            depth -= 1
        i += 1
    return keys


def _decode(text: str, source: str):
    def parse_object(s_and_end, strict, scan_once, object_hook, object_pairs_hook, memo=None):
        s, start = s_and_end
        pairs, end = json.decoder.JSONObject(s_and_end, strict, scan_once, None, list, memo)
        obj = _Object()
        obj.line = _line_of(s, start - 1)
        obj.key_lines = {}
        for (key, value), pos in zip(pairs, _key_positions(s, start, end)):
            if key in obj:
                raise VenueError(f"{source}:{_line_of(s, pos)}: duplicate field {key!r}")
            obj[key] = value
            obj.key_lines[key] = _line_of(s, pos)
        return obj, end

    # NaN and Infinity parse as floats; the field readers refuse them with the field's line.
    decoder = json.JSONDecoder()
    decoder.parse_object = parse_object
    decoder.scan_once = json.scanner.py_make_scanner(decoder)  # the C scanner ignores parse_object
    try:
        return decoder.decode(text)
    except json.JSONDecodeError as e:
        raise VenueError(f"{source}:{e.lineno}: not valid JSON: {e.msg} (column {e.colno})") from None
    except ValueError as e:
        if isinstance(e, VenueError):
            raise
        raise VenueError(f"{source}: not valid JSON: {e}") from None


# ---------------------------------------------------------------- field readers

class _Reader:
    def __init__(self, source: str):
        self.source = source

    def fail(self, obj: _Object, key: str | None, where: str, problem: str):
        line = obj.key_lines.get(key, obj.line) if key is not None else obj.line
        raise VenueError(f"{self.source}:{line}: {where}: {problem}")

    def known_fields(self, obj: _Object, allowed: set, where: str):
        for key in obj:
            if key not in allowed:
                label = f"{where}.{key}" if where else key
                self.fail(obj, key, label, f"unknown field (known: {', '.join(sorted(allowed))})")

    def number(self, obj, key, where, *, default=None, low=-math.inf, high=math.inf, unit=""):
        if key not in obj:
            if default is not None:
                return default
            self.fail(obj, None, where, f"missing field {key!r}")
        return self._number_value(obj, key, obj[key], f"{where}", low, high, unit)

    def _number_value(self, obj, key, value, where, low, high, unit):
        try:
            finite = not isinstance(value, bool) and isinstance(value, (int, float)) and math.isfinite(value)
        except OverflowError:  # an integer beyond the double range
            finite = False
        if not finite:
            self.fail(obj, key, where, f"expected a number{' in' + unit if unit else ''}, got {json.dumps(value)[:40]}")
        if not low <= value <= high:
            self.fail(obj, key, where, f"{value} is outside {low:g} to {high:g}{unit}")
        return float(value)

    def pair(self, obj, key, where, *, low, high, unit, what):
        value = obj[key]
        if not (isinstance(value, list) and len(value) == 2):
            self.fail(obj, key, where, f"expected {what}, got {json.dumps(value)}")
        return tuple(self._number_value(obj, key, v, where, low, high, unit) for v in value)


def parse_venue(text: str, source: str = "<venue>") -> Venue:
    """Read a venue from the text of a venue file; raises :class:`VenueError`."""
    data = _decode(text, source)
    r = _Reader(source)
    if not isinstance(data, _Object):
        raise VenueError(f"{source}:1: the venue file must hold one JSON object")
    r.known_fields(data, {"name", "model", "height", "tilt", "audience", "options", "section"}, "")

    if "model" not in data:
        r.fail(data, None, "model", "missing field 'model' (a model name such as \"Vexal32\" or its number)")
    model_value = data["model"]
    if isinstance(model_value, bool) or not isinstance(model_value, (int, str)):
        r.fail(data, "model", "model", f"expected a model name or number, got {json.dumps(model_value)}")
    try:
        model = model_info(model_value)
    except ValueError as e:
        r.fail(data, "model", "model", str(e))

    height = r.number(data, "height", "height", low=-MAX_COORDINATE, high=MAX_COORDINATE, unit=" m")
    tilt = r.number(data, "tilt", "tilt", default=0.0, low=-90.0, high=90.0, unit=" degrees")

    if "audience" not in data:
        r.fail(data, None, "audience", "missing field 'audience' (a list of audience lines)")
    lines = data["audience"]
    if not isinstance(lines, list) or not lines:
        r.fail(data, "audience", "audience", "expected a non-empty list of audience lines")
    audience = [_audience_line(r, item, k, data) for k, item in enumerate(lines, start=1)]
    if not any(a.active for a in audience):
        r.fail(data, "audience", "audience", "no audience line is active; nothing to cover")

    inactive_as_zero, iterations = False, None
    if "options" in data:
        opts = data["options"]
        if not isinstance(opts, _Object):
            r.fail(data, "options", "options", "expected an object")
        r.known_fields(opts, {"inactive_as_zero", "woofer_iterations"}, "options")
        if "inactive_as_zero" in opts:
            if not isinstance(opts["inactive_as_zero"], bool):
                r.fail(opts, "inactive_as_zero", "options.inactive_as_zero", "expected true or false")
            inactive_as_zero = opts["inactive_as_zero"]
        if "woofer_iterations" in opts:
            v = opts["woofer_iterations"]
            if isinstance(v, bool) or not isinstance(v, int) or not 1 <= v <= MAX_ITERATIONS:
                r.fail(opts, "woofer_iterations", "options.woofer_iterations",
                       f"expected a whole number 1 to {MAX_ITERATIONS}, got {json.dumps(v)}")
            iterations = v

    section_x = section_z = None
    if "section" in data:
        sec = data["section"]
        if not isinstance(sec, _Object):
            r.fail(data, "section", "section", "expected an object with x and z ranges")
        r.known_fields(sec, {"x", "z"}, "section")
        ranges = {}
        for key in ("x", "z"):
            if key not in sec:
                r.fail(sec, None, "section", f"missing field {key!r}")
            lo, hi = r.pair(sec, key, f"section.{key}", low=-MAX_COORDINATE, high=MAX_COORDINATE, unit=" m",
                            what="[low, high] in metres")
            if not lo < hi:
                r.fail(sec, key, f"section.{key}", f"range [{lo:g}, {hi:g}] is empty")
            ranges[key] = (lo, hi)
        section_x, section_z = ranges["x"], ranges["z"]

    name = data.get("name", Path(source).stem)
    if not isinstance(name, str):
        r.fail(data, "name", "name", "expected a text")
    return Venue(name, model, height, tilt, audience, inactive_as_zero, iterations, section_x, section_z,
                 source, text)


def _audience_line(r: _Reader, item, k: int, parent: _Object) -> AudienceLine:
    where = f"audience[{k}]"
    if not isinstance(item, _Object):
        r.fail(parent, "audience", where, "expected an object with from, to and level")
    r.known_fields(item, {"name", "from", "to", "level", "active"}, where)
    active = item.get("active", True)
    if not isinstance(active, bool):
        r.fail(item, "active", f"{where}.active", "expected true or false")
    points = []
    for key in ("from", "to"):
        if key not in item:
            r.fail(item, None, where, f"missing field {key!r} (an end point [x, z] in metres)")
        points.append(r.pair(item, key, f"{where}.{key}", low=-MAX_COORDINATE, high=MAX_COORDINATE, unit=" m",
                             what="[x, z] in metres"))
    if points[0] == points[1]:
        r.fail(item, "to", f"{where}.to", "the line has no length (from and to are the same point)")
    if "level" in item:
        value = item["level"]
        if isinstance(value, list):
            levels = r.pair(item, "level", f"{where}.level", low=0.0, high=MAX_LEVEL, unit=" dB SPL",
                            what="a level or [level at from, level at to] in dB SPL")
        else:
            level = r.number(item, "level", f"{where}.level", low=0.0, high=MAX_LEVEL, unit=" dB SPL")
            levels = (level, level)
    elif active:
        r.fail(item, None, where, "missing field 'level' (target dB SPL, or [at from, at to])")
    else:
        levels = (0.0, 0.0)  # not fitted
    name = item.get("name", f"line {k}")
    if not isinstance(name, str):
        r.fail(item, "name", f"{where}.name", "expected a text")
    return AudienceLine(name, points[0], points[1], levels, active, item.line)


def load_venue(path: str | os.PathLike) -> Venue:
    """Read a venue file; raises :class:`VenueError` with file, line and field."""
    path = Path(path)
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        raise VenueError(f"{path}: no such venue file") from None
    except IsADirectoryError:
        raise VenueError(f"{path}: is a folder, not a venue file") from None
    except (OSError, UnicodeDecodeError) as e:
        raise VenueError(f"{path}: cannot read venue file ({e.strerror if isinstance(e, OSError) else e})") from None
    return parse_venue(text, str(path))
