"""Several columns in one venue: designed one by one, voiced together, written as one system folder.

Each column is designed by the single-column path (optimise, voice, refine:
:func:`talvek.design.pipeline.design_record`) on its own venue, in its own
coordinates (:func:`talvek.system.placement.column_venue`). The library holds
one design at a time; the host keeps every column's record. Columns of the
same model are designed one after the other, so the model is loaded once.

Then the system is voiced: the columns' fields along the active lines are
added as energies, and each column gets one gain per frequency (for all its
channels, as voicing gives) that removes the mean deviation of the combined
level over the points where it is the loudest, smoothed over a third of an
octave; a few passes, as the columns' corrections reach into each other's
points. The correction is part of the column's files.

The folder holds one subfolder per column (a whole single-column design
folder: record, processor files, report.json, figures) and at the top the
system's report.json and figures.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from pathlib import Path
from typing import Protocol

import numpy as np

from ..analysis import OCTAVE_BANDS, ROOM_BANDS, analysed_range, band_mask
from ..api import SFIORecord, Talvek
from ..system import column_delays, column_venue
from ..system.delays import PRECEDENCE_MS
from ..system.field import column_power
from ..system.prediction import ColumnResult, combine, level_offset_db, system_points, system_report
from ..venue import ColumnPlacement, Venue, column_folder
from .pipeline import Drawing, design_date, design_record, provenance, write_design, write_report
from .voicing import section_gains, smooth_log

__all__ = ["SystemDrawing", "SystemFolderError", "design_system", "redesign_system", "system_voicing", "column_stem",
           "column_label", "SYSTEM_PASSES"]

SYSTEM_PASSES = 4
SMOOTHING_OCTAVES = 1.0 / 3.0
CORRECTION_LIMITS_DB = (-12.0, 6.0)


class SystemDrawing(Protocol):
    """Draws a system's figures and report.pdf: the presentation layer's, handed in by the caller.

    ``column`` gives the drawing of one column's own folder (a
    :class:`talvek.design.pipeline.Drawing`), ``names`` the files it writes at
    the top, ``finish`` draws them once the system's report.json is written.
    """

    def column(self) -> Drawing | None: ...

    def names(self, prediction) -> list[str]: ...

    def finish(self, folder: Path, rep: dict, venue: Venue, prediction) -> None: ...


@dataclass
class _Column:
    index: int
    column: ColumnPlacement
    venue: Venue
    record: SFIORecord
    voiced: object
    before: dict | None
    level_db: float
    line_power: np.ndarray      # (N, P) along every line, the design as made


def column_label(column: tuple, stage: str) -> str:
    """What progress shows for a column's stage: ``column`` is (position, count, name), e.g.
    "column 2 of 4 (Delay): predicting levels"."""
    position, count, name = column
    return f"column {position} of {count} ({name}): {stage}"


def _column_progress(progress, column: tuple):
    """``progress(done, total)`` of one column's work, passed on with ``column=(position, count, name)``.

    A system's columns are optimised one after the other, then predicted one
    after the other; each column's prediction reports its own points, so a
    caller that shows one bar labels it with the column (:func:`column_label`).
    """
    if progress is None:
        return None
    return lambda done, total: progress(done, total, column=column)


def column_stem(stem: str, column: ColumnPlacement) -> str:
    """File stem of a column's files: the system's stem and the column's folder name."""
    return f"{stem}_{column_folder(column.name)}"


def system_voicing(venue: Venue, columns: list, freq: np.ndarray, analysed: slice, samples, *,
                   passes: int = SYSTEM_PASSES) -> np.ndarray:
    """Each column's gain per frequency, dB, (C, N): see the module text.

    ``columns`` carry ``line_power`` (N, P) over every line's points and ``level_db``.
    """
    keep, targets, offset = [], [], 0
    for a, (x, _, along) in zip(venue.audience, samples):
        if a.active:
            keep.append(np.arange(offset, offset + x.size))
            targets.append(a.target(along))
        offset += x.size
    keep, target = np.concatenate(keep), np.concatenate(targets)
    power = np.stack([c.line_power[:, keep] * 10 ** (c.level_db / 10) for c in columns])
    owner = np.argmax(power[:, analysed].sum(axis=1), axis=0)
    correction = np.zeros((len(columns), freq.size))
    for _ in range(passes):
        total = np.sum(power * 10 ** (correction[:, :, None] / 10), axis=0)
        dev = 10 * np.log10(np.maximum(total, 1e-30) / (20e-6) ** 2) - target[None, :]
        for k in range(len(columns)):
            mine = owner == k
            if mine.any():
                correction[k] -= smooth_log(freq, dev[:, mine].mean(axis=1), SMOOTHING_OCTAVES)
        correction = np.clip(correction, *CORRECTION_LIMITS_DB)
    return correction


def _on_model_grid(n_all: int, low: int, last: int, curve: np.ndarray) -> np.ndarray:
    """A correction over the model frequencies low..last extended to all of them: cuts held, boosts not."""
    full = np.empty(n_all)
    full[low - 1:last] = curve
    full[:low - 1] = min(curve[0], 0.0)
    full[last:] = min(curve[-1], 0.0)
    return full


def _band_summary(freq: np.ndarray, curve: np.ndarray) -> list:
    """The correction per octave band (energy mean), as report.json keeps it."""
    out = []
    for fc in OCTAVE_BANDS:
        inside = band_mask(freq, fc)
        if inside.any():
            out.append({"band_hz": fc, "correction_db": round(float(10 * np.log10(np.mean(10 ** (curve[inside] / 10)))),
                                                              2)})
    return out


def _hold(tv: Talvek, venue: Venue, record: SFIORecord) -> None:
    """Make ``record`` the library's design. The library takes a record only of the model its last
    design was for, so after another model's design one short optimisation of this column's venue
    (one woofer iteration) comes first."""
    if tv.model is not None and tv.model != record.model_in(tv.models_dir):
        tv.select(record.model_in(tv.models_dir))
        tv.optimise(venue.height, venue.tilt, venue.item_table(), inactive_as_zero=venue.inactive_as_zero,
                    woofer_iterations=1)
    tv.redesign(record)


def _unsteered(tv: Talvek, column: _Column, record: SFIORecord, x, z, low: int, last: int):
    """The column unsteered, as made: its squared pressure at system points (x, z) and its radiated
    power level at 0 dB gain. The library ends holding ``record`` again."""
    from ..room.direct_share import unsteered_ratios_db
    from ..room.prediction import radiated_power_db

    return unsteered_ratios_db(tv, record, lambda: (
        column_power(tv, column.venue, column.column, x, z, low, last), radiated_power_db(tv, column.venue, 0.0)))


def _frequency_span(tv: Talvek, venue: Venue):
    """The model frequencies a system is predicted at: from the lowest room band (with a room) or the
    analysed range's start, to its end. Returns (all frequencies, 1-based low and last, the span, the
    analysed part of the span as a slice)."""
    freq_all = tv.frequencies()
    first, last = analysed_range(freq_all)
    low = analysed_range(freq_all, ROOM_BANDS)[0] if venue.room is not None else first
    return freq_all, low, last, freq_all[low - 1:last], slice(first - low, None)


def design_system(tv: Talvek, venue: Venue, folder: Path, stem: str, *, grid=(120, 60),
                  drawing: SystemDrawing | None = None, progress=None, voicing: bool = True, refine: bool = True,
                  designed: str | None = None) -> dict:
    """Design every column of ``venue`` and the system; write the system folder into ``folder``.

    Parameters as :func:`talvek.design.pipeline.design_venue`; ``drawing`` is a
    :class:`SystemDrawing`. ``voicing`` False leaves out the columns' voicing and
    the system's. ``progress`` is called with the keyword ``column=(position,
    count, name)`` too: ``progress(0, 0, column=..., stage="optimising")`` as a
    column's optimisation starts, then ``progress(done, total, column=...)`` as
    its levels are predicted (see :func:`column_label`).

    Returns
    -------
    dict
        The system's report, as written to ``folder/report.json``.
    """
    designed = designed or design_date()
    placements = venue.columns
    order = sorted(range(len(placements)), key=lambda k: (placements[k].model.number, k))
    delays = column_delays(venue)
    freq_all, low, last, freq, analysed = _frequency_span(tv, venue)
    x, z, samples, _ = system_points(venue, grid)
    on_lines = sum(s[0].size for s in samples)

    columns = []
    for position, k in enumerate(order, 1):
        column = placements[k]
        if progress is not None:
            progress(0, 0, column=(position, len(order), column.name), stage="optimising")
        own = column_venue(venue, column)
        record, voiced, before = design_record(tv, own, voicing=voicing, refine=refine)
        line_power = column_power(tv, own, column, x[:on_lines], z[:on_lines], low, last)
        level = level_offset_db(freq[analysed], line_power[analysed], samples, venue, column.serves)
        columns.append(_Column(k, column, own, record, voiced, before, level + column.gain_db, line_power))
    held = columns[-1].index
    correction = None
    if voicing and len(columns) > 1:
        correction = system_voicing(venue, columns, freq, analysed, samples)

    records, summaries = [], []
    for c, column in enumerate(columns):
        if correction is None:
            records.append(column.record)
            summaries.append(None)
        else:
            full = _on_model_grid(freq_all.size, low, last, correction[c])
            records.append(section_gains(column.record, freq_all, full, full))
            summaries.append(_band_summary(freq, correction[c]))
    return _write_system(tv, venue, columns, records, [delays[c.index] for c in columns], summaries,
                         None if correction is not None else held, folder, stem, grid=grid, drawing=drawing,
                         progress=progress, designed=designed,
                         passes=SYSTEM_PASSES if correction is not None else 0)


def _write_system(tv: Talvek, venue: Venue, columns: list, records: list, delays: list, summaries: list,
                  held: int | None, folder: Path, stem: str, *, grid, drawing, progress, designed: str,
                  passes: int) -> dict:
    """Write every column's folder from its record (``held``: the index of the column whose design the
    library holds already), predict the system and write its report and figures."""
    freq_all, low, last, freq, analysed = _frequency_span(tv, venue)
    x, z, samples, grid_xz = system_points(venue, grid)
    on_lines = sum(sample[0].size for sample in samples)
    placements = venue.columns
    results, files = [], []
    # The last model designed is still loaded: write its columns first, then the others model by model.
    writing = sorted(range(len(columns)), key=lambda c: (-columns[c].column.model.number, c))
    for position, c in enumerate(writing, 1):
        column, record = columns[c], records[c]
        step = _column_progress(progress, (position, len(writing), column.column.name))
        name = column_folder(column.column.name)
        sub = folder / name
        sub.mkdir()
        if held != column.index:
            _hold(tv, column.venue, record)
        held = column.index
        rep = write_design(tv, column.venue, record, sub, column_stem(stem, column.column), grid=grid,
                           drawing=drawing.column() if drawing is not None else None, progress=step,
                           voiced=column.voiced, before=column.before, designed=designed)
        files += [dict(f, name=f"{name}/{f['name']}") for f in rep["files"]]
        power = column_power(tv, column.venue, column.column, x, z, low, last) * 10 ** (column.level_db / 10)
        radiated = flat = None
        if venue.room is not None:
            from ..room.prediction import radiated_power_db

            radiated = radiated_power_db(tv, column.venue, column.level_db)
            flat = _unsteered(tv, column, record, x[:on_lines], z[:on_lines], low, last)
        results.append(ColumnResult(column.column, column.venue, delays[c], column.level_db, power, radiated,
                                    summaries[c], rep["headroom_db"], *(flat or (None, None))))
    # The system's figures and tables list the columns in the file's order.
    results.sort(key=lambda r: placements.index(r.column))
    prediction = combine(venue, results, freq, analysed, samples, grid_xz)
    rep = system_report(venue, prediction)
    for entry in rep["columns"]:
        entry["folder"] = column_folder(entry["name"])
    rep.update(precedence_ms=PRECEDENCE_MS, system_voicing_passes=passes)
    rep.update(provenance(venue, grid, designed))
    rep.update(venue_text=venue.text, files=files)
    write_report(folder, rep, venue, prediction, drawing)
    return rep


def redesign_system(tv: Talvek, source: Path, folder: Path, stem: str | None = None, *, grid=(120, 60),
                    drawing: SystemDrawing | None = None, progress=None, designed: str | None = None) -> dict:
    """Design a system again from the records of a system folder ``source``; write it into ``folder``.

    Every column's record is designed again as stored (no optimisation, no
    voicing), played at the level and with the delay the stored report gives.

    Raises
    ------
    SystemFolderError
        When ``source`` is not a system folder or a record in it is unusable (one line).
    """
    from ..venue import VenueError, parse_venue

    path = source / "report.json"
    try:
        stored = json.loads(path.read_text())
    except (OSError, ValueError) as e:
        raise SystemFolderError(f"{path}: not readable ({e})") from None
    if not isinstance(stored, dict) or not stored.get("system"):
        raise SystemFolderError(f"{source}: not the folder of a system of columns; for a single design name its "
                                "record (the .npz)")
    text, entries = stored.get("venue_text"), stored.get("columns")
    if not isinstance(text, str) or not isinstance(entries, list) or not all(
            isinstance(e, dict) and isinstance(e.get("level_offset_db"), (int, float))
            and isinstance(e.get("delay_ms"), (int, float)) for e in entries):
        raise SystemFolderError(f"{path}: venue_text and columns (with level_offset_db and delay_ms) expected")
    try:
        venue = parse_venue(text, str(stored.get("venue_source", path)), tv.models_dir)
    except VenueError as e:
        raise SystemFolderError(f"{path}: stored venue unusable: {e}") from None
    if [c.name for c in venue.columns] != [e.get("name") for e in entries]:
        raise SystemFolderError(f"{path}: the columns listed are not the stored venue's")
    stem = stem or Path(str(stored.get("venue_source", "system"))).stem
    columns, records = [], []
    for k, (placement, entry) in enumerate(zip(venue.columns, entries)):
        found = sorted((source / column_folder(placement.name)).glob("*.npz"))
        if len(found) != 1:
            raise SystemFolderError(f"{source / column_folder(placement.name)}: expected one record, found "
                                    f"{len(found)}")
        try:
            record = SFIORecord.load(found[0], tv.models_dir)
            record.model_in(tv.models_dir)
        except ValueError as e:
            raise SystemFolderError(f"{found[0]}: {e}") from None
        columns.append(_Column(k, placement, column_venue(venue, placement), record, None, None,
                               float(entry["level_offset_db"]), None))
        records.append(record)
    order = sorted(range(len(columns)), key=lambda c: (columns[c].column.model.number, c))
    columns = [columns[c] for c in order]
    records = [records[c] for c in order]
    entries = [entries[c] for c in order]
    return _write_system(tv, venue, columns, records, [float(e["delay_ms"]) for e in entries],
                         [e.get("system_correction") for e in entries], None, folder, stem, grid=grid,
                         drawing=drawing, progress=progress, designed=designed or design_date(),
                         passes=int(stored.get("system_voicing_passes", 0)))


class SystemFolderError(Exception):
    """A system folder that cannot be designed again, in one line."""

