"""Venue files: the column, its mounting and the audience lines of one venue.

A venue file is JSON (see "Venue files" in README.md) whose form is published as
the JSON Schema ``venue.schema.json`` next to this module. Every problem is
reported as one :class:`VenueError` line naming the file, the line and the
field, e.g. ``hall.json:12: audience[2].to: expected [x, z] in metres, got [3.0]``.

Reading takes three public steps: ``json.loads`` parses the text (its error
carries the line), the schema validator names the field path of each problem,
and a small scanner of the (by then known to be valid) text finds the line of
every field path.
"""

from __future__ import annotations

import bisect
import functools
import json
import math
import os
import re
from dataclasses import dataclass, field
from pathlib import Path

import jsonschema
import numpy as np

from .models import ModelInfo, model_info

__all__ = ["VenueError", "AudienceLine", "Room", "ColumnPlacement", "Venue", "column_folder", "load_venue",
           "parse_venue", "SCHEMA_PATH", "schema",
           "venue_document"]

SCHEMA_PATH = Path(__file__).with_name("venue.schema.json")


class VenueError(ValueError):
    """A venue file that cannot be used; the message is one line.

    Attributes
    ----------
    path : str
        Field path of the problem as written in the message (``audience[2].to``,
        list positions counted from 1), "" when it concerns the whole file.
    line : int or None
        Line of the venue text the problem is on, None when there is none.
    problem : str
        The message without file, line and field.
    """

    def __init__(self, source: str, line: int | None, path: str, problem: str):
        where = source + (f":{line}" if line is not None else "")
        super().__init__(f"{where}: {path + ': ' if path else ''}{problem}")
        self.source, self.line, self.path, self.problem = source, line, path, problem


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


ROOM_BANDS = 7  # octave bands 125 Hz - 8 kHz of the room's figures


@dataclass
class Room:
    """The room around the column: size, reverberation, noise and air."""

    volume: float                          # m^3
    rt60: tuple                            # (7,) s, octave bands 125 Hz - 8 kHz
    noise: tuple | None = None             # (7,) dB SPL, None for none
    temperature: float = 20.0              # degC
    humidity: float = 50.0                 # % relative


@dataclass(frozen=True)
class ColumnPlacement:
    """One column of a venue: where it stands, the way it faces, the lines it serves."""

    name: str
    model: ModelInfo
    x: float                      # m along the section
    height: float                 # m, the column's reference point
    tilt: float                   # degrees, positive aims upwards
    facing: str                   # "+x" or "-x"
    serves: tuple                 # names of the audience lines it covers
    delay_ms: float | None        # None: computed from the precedence effect
    gain_db: float = 0.0          # over its own design
    line: int = 0                 # line of the venue file its entry starts on

    @property
    def sign(self) -> int:
        """+1 for a column facing +x, -1 for one facing -x."""
        return 1 if self.facing == "+x" else -1


def column_folder(name: str) -> str:
    """The output subfolder of a column: its name in lower case, runs of other characters as one "-"."""
    return re.sub(r"[^a-z0-9]+", "-", name.lower()).strip("-") or "column"


@dataclass
class Venue:
    """Everything ``talvek design`` needs for one venue.

    A venue of several columns (``is_system``) keeps them in ``columns``; its
    ``model``, ``height`` and ``tilt`` are then those of the first column.
    """

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
    room: Room | None = None
    system_columns: tuple = ()    # the file's columns list; () for the single-column form

    @property
    def is_system(self) -> bool:
        """True when the venue file gives a ``columns`` list (even of one)."""
        return bool(self.system_columns)

    @property
    def columns(self) -> tuple:
        """The columns as :class:`ColumnPlacement`; the single-column form is one column named
        "column" at x = 0, facing +x, serving every active line."""
        if self.system_columns:
            return self.system_columns
        return (ColumnPlacement("column", self.model, 0.0, self.height, self.tilt, "+x",
                                tuple(a.name for a in self.audience if a.active), None, 0.0, 1),)

    @property
    def air(self) -> tuple[float, float]:
        """Temperature (degC) and relative humidity (%) of the air: the room's, or 20 degC and 50 %."""
        return (self.room.temperature, self.room.humidity) if self.room else (20.0, 50.0)

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


# ---------------------------------------------------------------- the schema

@functools.lru_cache(maxsize=1)
def schema() -> dict:
    """The published JSON Schema of venue files."""
    return json.loads(SCHEMA_PATH.read_text(encoding="utf-8"))


def _finite_number(checker, value) -> bool:
    # JSON has no NaN or infinity, but Python's parser reads NaN, Infinity and 1e999;
    # they are refused as "not a number" with the field's line.
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return False
    try:
        return math.isfinite(value)
    except OverflowError:  # an integer beyond the double range
        return False


def _whole_number(checker, value) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)  # 3.0 is not a count


def checking_validator(root: dict):
    """A validator of ``root`` that refuses NaN, infinities and 3.0 as a count."""
    base = jsonschema.Draft202012Validator
    types = base.TYPE_CHECKER.redefine_many({"number": _finite_number, "integer": _whole_number})
    return jsonschema.validators.extend(base, type_checker=types)(root)


@functools.lru_cache(maxsize=1)
def _validator():
    return checking_validator(schema())


# ---------------------------------------------------------------- where each field stands

_TOKEN = re.compile(r'\s*(?:("(?:[^"\\]|\\.)*")|([{}\[\]:,])|([^\s{}\[\]:,"]+))', re.S)


class _Positions:
    """Offsets of the keys and values of valid JSON text, by field path.

    A field path is a tuple of object keys and 0-based list positions; ``()``
    is the whole document. ``key[path]`` is where the key of an object member
    stands, ``value[path]`` where a value begins (for an object, its ``{``).
    """

    def __init__(self, text: str, source: str):
        self.text = text
        self.key: dict[tuple, int] = {}
        self.value: dict[tuple, int] = {}
        self._newlines = [m.start() for m in re.finditer("\n", text)]
        # Each open container: [kind, path, list position or current key, expecting a key, keys seen]
        stack: list[list] = []
        pos = 0
        while True:
            m = _TOKEN.match(text, pos)
            if not m or m.end() == pos:
                break
            pos = m.end()
            string, punct = m.group(1), m.group(2)
            start = m.start(1) if string else m.start(2) if punct else m.start(3)
            top = stack[-1] if stack else None
            if punct in ("}", "]"):
                stack.pop()
                continue
            if punct == ":":
                continue
            if punct == ",":
                if top[0] == "[":
                    top[2] += 1
                else:
                    top[3] = True
                continue
            if top is not None and top[0] == "{" and top[3]:  # a key
                key = json.loads(string)
                path = top[1] + (key,)
                if key in top[4]:
                    raise VenueError(source, self.line(start), _format_path(path), "duplicate field")
                top[4].add(key)
                top[2], top[3] = key, False
                self.key[path] = start
                continue
            path = () if top is None else top[1] + (top[2],)
            self.value[path] = start
            if punct == "{":
                stack.append(["{", path, None, True, set()])
            elif punct == "[":
                stack.append(["[", path, 0, False, None])

    def line(self, offset: int) -> int:
        return bisect.bisect_left(self._newlines, offset) + 1

    def of_field(self, path: tuple) -> int:
        """Offset of a field: its key in an object, its value in a list."""
        while path and path not in self.key and path not in self.value:
            path = path[:-1]
        return self.key.get(path, self.value.get(path, 0))


def _format_path(path) -> str:
    out = ""
    for part in path:
        out += f"[{part + 1}]" if isinstance(part, int) else (f".{part}" if out else str(part))
    return out


def _short(value) -> str:
    try:
        text = json.dumps(value)
    except (ValueError, RecursionError):
        text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


# ---------------------------------------------------------------- schema errors as one-line messages

def _resolve(node, root=None):
    while isinstance(node, dict) and "$ref" in node and node["$ref"].startswith("#/"):
        target = root or schema()
        for part in node["$ref"][2:].split("/"):
            target = target[part]
        node = target
    return node


def _schemas_along(schema_path, root=None) -> list:
    """Every schema passed on the way down ``schema_path`` (references followed)."""
    node, seen = root or schema(), []
    for part in schema_path:
        seen.append(node)
        if isinstance(node, dict) and part not in node:
            node = _resolve(node, root)
        node = node[part]
    return seen + [node]


def _expected(error, root=None) -> str:
    for node in reversed(_schemas_along(error.absolute_schema_path, root)):
        if isinstance(node, dict):
            if "x-expected" in node:
                return node["x-expected"]
            if "x-expected" in _resolve(node, root):
                return _resolve(node, root)["x-expected"]
    return "something else"


def _describe(error, document, root=None) -> tuple[tuple, str]:
    """(field path, message) of one schema error, in the words of a designer; ``root``
    is the schema (default: the venue schema)."""
    path = tuple(error.absolute_path)
    kind, value = error.validator, error.instance
    if "prefixItems" in error.absolute_schema_path:
        # A bad coordinate or level inside a pair is reported at the pair.
        if kind not in ("minimum", "maximum"):
            cut = list(error.absolute_schema_path).index("prefixItems")
            pair_schema = _resolve(_schemas_along(list(error.absolute_schema_path)[:cut], root)[-1], root)
            return path[:-1], f"expected {pair_schema['x-expected']}, got {_short(_value_at(document, path[:-1]))}"
        path = path[:-1]
    if kind == "required":
        missing = [name for name in error.validator_value if name not in value]
        name = missing[0]
        hint = ""
        for node in reversed(_schemas_along(error.absolute_schema_path, root)):
            props = _resolve(node, root).get("properties", {}) if isinstance(node, dict) else {}
            if name in props:
                hint = f" ({props[name].get('x-expected') or _resolve(props[name], root).get('x-expected')})"
                break
        # At the top the missing field names itself; inside, the object it is missing from.
        return path or (name,), f"missing field {name!r}{hint}"
    if kind == "additionalProperties":
        known = sorted(error.schema.get("properties", {}))
        extra = next(key for key in value if key not in known)
        return path + (extra,), f"unknown field (known: {', '.join(known)})"
    if kind in ("minimum", "maximum"):
        node = error.schema
        return path, f"{value} is outside {node['minimum']:g} to {node['maximum']:g}{node.get('x-unit', '')}"
    if kind in ("anyOf", "oneOf") and error.context:
        # Explain by the branch of the right kind when there is one (a level out of range).
        deeper = [e for e in error.context if e.validator != "type"]
        if deeper:
            return _describe(min(deeper, key=lambda e: len(e.absolute_path)), document, root)
    if kind in ("type", "anyOf", "oneOf", "minItems", "maxItems", "items", "prefixItems", "enum", "pattern",
                "minLength", "maxLength"):
        return path, f"expected {_expected(error, root)}, got {_short(value)}"
    return path, error.message


def _value_at(document, path):
    for part in path:
        document = document[part]
    return document


# ---------------------------------------------------------------- reading

def venue_document(text: str, source: str = "<venue>") -> dict:
    """Parse and check the text of a venue file against the schema; the checked JSON object.

    Raises :class:`VenueError` for the first problem in the text.
    """
    return _checked(text, source)[0]


def _checked(text: str, source: str, validator=None, what: str = "venue file") -> tuple[dict, _Positions]:
    """The parsed document and its positions; ``validator`` (default: the
    venue schema's, see :func:`checking_validator`) names the problems."""
    try:
        document = json.loads(text)
    except json.JSONDecodeError as e:
        raise VenueError(source, e.lineno, "", f"not valid JSON: {e.msg} (column {e.colno})") from None
    except RecursionError:
        raise VenueError(source, None, "", "not valid JSON: nested too deeply") from None
    except ValueError as e:  # e.g. an integer of more digits than Python converts
        raise VenueError(source, None, "", f"not valid JSON: {e}") from None
    where = _Positions(text, source)
    if not isinstance(document, dict):
        raise VenueError(source, 1, "", f"the {what} must hold one JSON object")
    validator = validator or _validator()
    root = validator.schema
    problems = []
    for error in validator.iter_errors(document):
        try:
            path, message = _describe(error, document, root)
        except (KeyError, IndexError, TypeError, StopIteration):  # a schema shape the wording does not know
            path, message = tuple(error.absolute_path), error.message
        # A missing field is reported where its object opens.
        offset = where.value.get(tuple(error.absolute_path), 0) if error.validator == "required" \
            else where.of_field(path)
        problems.append((offset, len(path), _format_path(path), message))
    if problems:
        offset, _, path, message = min(problems)
        raise VenueError(source, where.line(offset), path, message)
    return document, where


def parse_venue(text: str, source: str = "<venue>", models_dir=None) -> Venue:
    """Read a venue from the text of a venue file; raises :class:`VenueError`.

    The model is looked up among the bundled ones and the user's columns of
    ``models_dir`` (default: the models folder found, see
    :func:`talvek.models.find_models_dir`).
    """
    data, where = _checked(text, source)

    def fail(path: tuple, problem: str):
        raise VenueError(source, where.line(where.of_field(path)), _format_path(path), problem)

    def model_at(path: tuple) -> ModelInfo:
        try:
            return model_info(_value_at(data, path), models_dir)
        except ValueError as e:  # also a models folder whose table is unreadable
            fail(path, str(e))

    if "columns" in data:
        both = [key for key in ("model", "height", "tilt") if key in data]
        if both:
            fail((both[0],), "a venue with a columns list gives each column's model, height and tilt there, "
                             "not at the top")
    else:
        model = model_at(("model",))

    audience = []
    for k, item in enumerate(data["audience"]):
        start, end = (tuple(float(v) for v in item[key]) for key in ("from", "to"))
        if start == end:
            fail(("audience", k, "to"), "the line has no length (from and to are the same point)")
        level = item.get("level", 0.0)  # an inactive line without a level is not fitted
        levels = tuple(float(v) for v in level) if isinstance(level, list) else (float(level),) * 2
        audience.append(AudienceLine(item.get("name", f"line {k + 1}"), start, end, levels,
                                     item.get("active", True), where.line(where.value[("audience", k)])))
    if not any(a.active for a in audience):
        fail(("audience",), "no audience line is active; nothing to cover")

    ranges = {}
    for key in ("x", "z"):
        if "section" in data:
            lo, hi = (float(v) for v in data["section"][key])
            if not lo < hi:
                fail(("section", key), f"range [{lo:g}, {hi:g}] is empty")
            ranges[key] = (lo, hi)
    options = data.get("options", {})
    room = _room(data["room"]) if "room" in data else None
    rest = (audience, options.get("inactive_as_zero", False), options.get("woofer_iterations"), ranges.get("x"),
            ranges.get("z"), source, text, room)
    name = data.get("name", Path(source).stem)
    if "columns" not in data:
        return Venue(name, model, float(data["height"]), float(data.get("tilt", 0.0)), *rest)
    columns = _columns(data, where, audience, model_at, fail)
    first = columns[0]
    return Venue(name, first.model, first.height, first.tilt, *rest, system_columns=columns)


def _columns(data: dict, where: _Positions, audience: list, model_at, fail) -> tuple:
    """The columns of a system venue, checked against each other and the audience lines."""
    names = {}
    for k, a in enumerate(audience):
        if a.name in names:
            fail(("audience", k, "name"), f"{a.name!r} is also the name of audience[{names[a.name] + 1}]; the "
                                          "lines of a venue with columns need names of their own")
        names[a.name] = k
    columns, folders, served = [], {}, set()
    for k, item in enumerate(data["columns"]):
        facing = item.get("facing", "+x")
        column = ColumnPlacement(item["name"], model_at(("columns", k, "model")), float(item["x"]),
                                 float(item["height"]), float(item.get("tilt", 0.0)), facing,
                                 tuple(item["serves"]), float(item["delay_ms"]) if "delay_ms" in item else None,
                                 float(item.get("gain_db", 0.0)), where.line(where.value[("columns", k)]))
        folder = column_folder(column.name)
        if folder in folders:
            other = columns[folders[folder]]
            fail(("columns", k, "name"), f"{column.name!r} and columns[{folders[folder] + 1}] {other.name!r} "
                                         f"give the same output folder {folder!r}")
        for j, other in enumerate(columns):
            if (other.x, other.height, other.facing) == (column.x, column.height, column.facing):
                fail(("columns", k, "x"), f"columns[{j + 1}] {other.name!r} stands at the same place facing the "
                                          "same way")
        for s, line_name in enumerate(column.serves):
            if line_name not in names:
                fail(("columns", k, "serves", s), f"no audience line is named {line_name!r} (the lines: "
                                                   f"{', '.join(repr(a.name) for a in audience)})")
            a = audience[names[line_name]]
            if not a.active:
                fail(("columns", k, "serves", s), f"audience line {line_name!r} is inactive; a column serves "
                                                   "only active lines")
            for end_name, point in (("from", a.start), ("to", a.end)):
                if _behind(column, point):
                    fail(("columns", k, "serves", s), f"audience line {line_name!r} ({end_name} {list(point)}) "
                                                       f"lies behind the column, which faces {column.facing} "
                                                       f"from x = {column.x:g} m")
            served.add(line_name)
        folders[folder] = k
        columns.append(column)
    for k, a in enumerate(audience):
        if a.active and a.name not in served:
            fail(("audience", k), f"active line {a.name!r} is served by no column (add it to a column's serves, "
                                  "or make it inactive)")
    return tuple(columns)


def _behind(column: ColumnPlacement, point) -> bool:
    """True when ``point`` (x, z) lies behind the front plane of ``column`` (see Venue.out_of_sight)."""
    t = math.radians(column.tilt)
    return (point[0] - column.x) * column.sign * math.cos(t) + (point[1] - column.height) * math.sin(t) < 0


def _per_band(value) -> tuple:
    """One number for every room band, or the seven given (the schema has checked the count)."""
    return tuple(float(v) for v in value) if isinstance(value, list) else (float(value),) * ROOM_BANDS


def _room(data: dict) -> Room:
    return Room(float(data["volume"]), _per_band(data["rt60"]),
                _per_band(data["noise"]) if "noise" in data else None,
                float(data.get("temperature", 20.0)), float(data.get("humidity", 50.0)))


def read_document(path: Path, what: str, *, limit: int | None = None, hint: str = "") -> str:
    """The text of a user's JSON document (a venue file, a column description).

    Raises
    ------
    VenueError
        Naming the file and why it cannot be read (``what`` says what it should be).
    """
    try:
        if limit is not None and path.stat().st_size > limit:
            raise VenueError(str(path), None, "", f"larger than {limit >> 20} MiB{'; ' + hint if hint else ''}")
        return path.read_text(encoding="utf-8")
    except FileNotFoundError:
        raise VenueError(str(path), None, "", f"no such {what}") from None
    except IsADirectoryError:
        raise VenueError(str(path), None, "", f"is a folder, not a {what}") from None
    except (OSError, UnicodeDecodeError) as e:
        reason = e.strerror if isinstance(e, OSError) else e
        raise VenueError(str(path), None, "", f"cannot read the {what} ({reason})") from None


def load_venue(path: str | os.PathLike, models_dir=None) -> Venue:
    """Read a venue file; raises :class:`VenueError` with file, line and field; ``models_dir`` as
    for :func:`parse_venue`."""
    path = Path(path)
    return parse_venue(read_document(path, "venue file"), str(path), models_dir)
