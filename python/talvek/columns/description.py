"""Column descriptions: a JSON file (``column.schema.json``) naming a column of
the user's own, its drivers, amplifier and settings, read into a
:class:`~talvek.columns.document.ColumnPlan`.

Problems are reported as one line ``file:line: field: problem`` (the venue
reader's :class:`~talvek.venue.VenueError`; for a measured-data file, that
file and its variable, column or line).

Defaults of everything the model document needs that a description does not give:

========================  =========================================================
``length``                top driver position + bottom driver position (equal margins)
``crossover.blend``       1 octave
``design.f_flatten``      12000 Hz
``design.timbre``         [250, 2000, 16000] Hz, [1, 0, -1.5] dB
``design.box_highpass``   [45 Hz, Q 0.707], analog, one per woofer box
``depth``                 0.018 m (wf), 0.004 m (tw): ``driver_delay`` = depth cos(angle) / c
``solver.iterations``     5 (both sections)
``solver.beta``           1.02 (wf), 1.01 (tw); +0.02 in the end boxes of a section of several
``flo``                   the woofer's high-pass frequency (90 Hz for measured woofers);
                          stored, unused by the computations
``rolloff_order``         2, stored, unused
amplifier channel         5 Hz DC block, 45 kHz output filter, 2 samples latency at 96 kHz
========================  =========================================================
"""

from __future__ import annotations

import functools
import json
import os
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from ..models import MODELS, ModelInfo, archive_stem
from ..venue import VenueError, _checked, _format_path, checking_validator, read_document
from .csv_directivity import CsvError, read_csv
from .document import MEASURED_ANGLES_DEG, ColumnPlan, SectionPlan, output_frequencies
from .grids import GridError, onto_model_grid
from .piston import Piston, prototype_response
from .sofa import SofaError, read_sofa

__all__ = ["SCHEMA_PATH", "Column", "read_column", "parse_column", "array_type_for"]

SCHEMA_PATH = Path(__file__).with_name("column.schema.json")
MAX_DESCRIPTION_BYTES = 1 << 20
SECTION_DEFAULTS = {"wf": {"depth": 0.018, "beta": 1.02}, "tw": {"depth": 0.004, "beta": 1.01}}


@functools.lru_cache(maxsize=1)
def _validator():
    return checking_validator(json.loads(SCHEMA_PATH.read_text(encoding="utf-8")))


@dataclass
class Column:
    """A read description: the model it becomes and the plan of its document."""

    info: ModelInfo
    plan: ColumnPlan
    source: str

    @property
    def archive_name(self) -> str:
        return archive_stem(self.info.number)


def array_type_for(woofers: int, tweeters: int) -> ModelInfo | None:
    """The first bundled model whose box table has these channel counts (its array type), or None."""
    return next((m for m in MODELS if (m.woofer_channels, m.tweeter_channels) == (woofers, tweeters)), None)


def _fitting_counts() -> str:
    counts = dict.fromkeys(f"{m.woofer_channels}" + (f"+{m.tweeter_channels}" if m.tweeter_channels else "")
                           for m in MODELS)
    return ", ".join(counts)


def _box_of_channel(boxes, column: int, channel: int) -> int:
    """Box index (0-based) of a 1-based channel in column 0 (wf) or 2 (tw) of a box table."""
    return next(b for b, row in enumerate(boxes) if row[column] <= channel <= row[column + 1])


def parse_column(text: str, source: str = "<column>", base: Path | None = None) -> Column:
    """Read a column description from its text; measured files are relative to ``base``.

    Raises
    ------
    VenueError
        One line: file, line, field, problem.
    """
    data, where = _checked(text, source, _validator(), "column description")
    base = Path(base) if base is not None else Path(source).parent

    def fail(path: tuple, problem: str):
        raise VenueError(source, where.line(where.of_field(path)), _format_path(path), problem)

    if data["name"].strip().isdigit():
        fail(("name",), f"{data['name']!r} would read as a model number; give the column a name")
    if any(data["name"].strip().lower() == m.name.lower() for m in MODELS):
        fail(("name",), f"{data['name']!r} is the name of a bundled model; choose another")
    sections = data["sections"]
    two_way = "tw" in sections
    if two_way and "crossover" not in data:
        fail(("sections", "tw"), "a two-way column needs a 'crossover' (frequency and order)")
    if not two_way and "crossover" in data:
        fail(("crossover",), "a one-way column (no section tw) has no crossover")

    counts = {key: len(s["positions"]) for key, s in sections.items()}
    model = array_type_for(counts["wf"], counts.get("tw", 0))
    if model is None:
        got = f"{counts['wf']}" + (f"+{counts['tw']}" if two_way else "")
        fail(("sections",), f"{got} channels (woofer+tweeter) fit no array type; these do: {_fitting_counts()}")

    f = output_frequencies()
    theta = np.radians(MEASURED_ANGLES_DEG)
    amp = data["amplifier"]
    plans = {}
    for key, s in sections.items():
        path = ("sections", key)
        drivers = [k for k in ("piston", "measured") if k in s]
        if len(drivers) != 1:
            fail(path, "give the driver either as 'piston' or as 'measured', one of the two")
        positions = [float(p) for p in s["positions"]]
        radius = s.get("piston", s.get("measured", {})).get("radius")
        for k in range(1, len(positions)):
            gap = positions[k] - positions[k - 1]
            if gap <= 0:
                fail(path + ("positions", k), f"{positions[k]:g} m is not above the driver before it "
                     f"({positions[k - 1]:g} m): drivers are listed bottom first, one position each")
            if radius is not None and gap < 2 * radius - 1e-9:
                fail(path + ("positions", k), f"drivers overlap: {gap:g} m from the one before, less than "
                     f"their diameter {2 * radius:g} m")
        if "piston" in s:
            p = s["piston"]
            driver = Piston(p["radius"], p["sensitivity"], p["impedance"], tuple(p["highpass"]), tuple(p["lowpass"]))
            prototype = prototype_response(driver, f, theta, amp["volts_per_fs"])
        else:
            prototype = _measured(s["measured"], base, source, where.line(where.of_field(path + ("measured",))),
                                  path) * (amp["volts_per_fs"] / np.sqrt(2.0))
        column = 0 if key == "wf" else 2
        table_boxes = [b for b in model.boxes if b[column] > 0]
        boxes = [_box_of_channel(model.boxes, column, c) for c in range(1, len(positions) + 1)]
        first = min(boxes)
        solver = s.get("solver", {})
        plans[key] = SectionPlan(
            positions=positions, boxes=[b - first for b in boxes], nboxes=len(table_boxes),
            prototypes=[prototype], chp=[1] * len(positions),
            depth=s.get("depth", SECTION_DEFAULTS[key]["depth"]), volts_per_fs=amp["volts_per_fs"],
            clip_volts=amp["clip_volts"], beta=solver.get("beta", SECTION_DEFAULTS[key]["beta"]),
            iterations=solver.get("iterations", 5))

    design = data.get("design", {})
    wf_piston = sections["wf"].get("piston")
    plan = ColumnPlan(arraytype=model.number, wf=plans["wf"], tw=plans.get("tw"),
                      flo=float(wf_piston["highpass"][0]) if wf_piston else 90.0,
                      f_flatten=design.get("f_flatten", 12000.0))
    if "timbre" in design:
        plan.f_timbre = [float(v) for v in design["timbre"]["frequencies"]]
        plan.dB_timbre = [float(v) for v in design["timbre"]["levels"]]
        if not all(a < b for a, b in zip(plan.f_timbre, plan.f_timbre[1:])):
            fail(("design", "timbre", "frequencies"), "the three frequencies must increase")
    if "box_highpass" in design:
        plan.box_highpass = tuple(float(v) for v in design["box_highpass"])
    if two_way:
        plan.fx = float(data["crossover"]["frequency"])
        plan.xover_order = int(data["crossover"]["order"])
        plan.bwx = float(data["crossover"].get("blend", 1.0))
    if amp["clip_volts"] < amp["volts_per_fs"] * 0.5:
        fail(("amplifier", "clip_volts"), f"clips at {amp['clip_volts']:g} V, below half of full scale "
             f"({amp['volts_per_fs']:g} V): check the units (V peak)")

    top = max(s["positions"][-1] for s in sections.values())
    bottom = min(s["positions"][0] for s in sections.values())
    length = float(data.get("length", top + bottom))
    if length < top:
        fail(("length",), f"{length:g} m is shorter than the top driver's position {top:g} m")
    tw = sections.get("tw", {}).get("positions", [])
    pitch = (tw[-1] - tw[0]) / (len(tw) - 1) if len(tw) > 1 else 0.04
    info = ModelInfo(data["number"], data["name"].strip(), model.boxes, type_number=model.number, length=length,
                     tweeter_pitch=round(pitch, 6), crossover_hz=plan.fx if two_way else 2000.0)
    return Column(info, plan, source)


def _measured(m: dict, base: Path, source: str, line: int, path: tuple) -> np.ndarray:
    """The measured prototype on the model grids, Pa at 1 m per V RMS, (215, 91)."""
    kinds = [k for k in ("sofa", "csv") if k in m]
    if len(kinds) != 1:
        raise VenueError(source, line, _format_path(path + ("measured",)), "name one file: 'sofa' or 'csv'")
    name = base / m[kinds[0]]
    shown = str(name)
    try:
        if kinds[0] == "sofa":
            freq, angles, values = read_sofa(name, m.get("delay_included", True))
        else:
            freq, angles, values = read_csv(name)
    except SofaError as e:
        raise VenueError(shown, None, e.variable, e.problem) from None
    except CsvError as e:
        raise VenueError(shown, e.line, e.field, e.problem) from None
    except FileNotFoundError:
        raise VenueError(source, line, _format_path(path + ("measured", kinds[0])), f"no such file {shown}") from None
    except (OSError, UnicodeDecodeError) as e:
        raise VenueError(shown, None, "", f"cannot read ({getattr(e, 'strerror', None) or e})") from None
    try:
        return onto_model_grid(freq, angles, values)
    except GridError as e:
        raise VenueError(shown, None, "", str(e)) from None


def read_column(path: str | os.PathLike) -> Column:
    """Read a column description file; raises :class:`~talvek.venue.VenueError`."""
    path = Path(path)
    text = read_document(path, "column description", limit=MAX_DESCRIPTION_BYTES,
                         hint="a description is a few hundred bytes")
    return parse_column(text, str(path), path.parent)
