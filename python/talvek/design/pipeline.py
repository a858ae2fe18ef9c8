"""The design pipeline shared by ``talvek design`` and the venue editor.

One venue in, everything a designer keeps out: the SFIO record (``<stem>.npz``
with the venue text), the processor files, report.json, the figures and report.pdf. Both the
command line and the editor call :func:`design_venue`, so the same venue gives
the same files whichever way it was designed.
"""

from __future__ import annotations

import hashlib
import json
from pathlib import Path
from typing import Protocol

import numpy as np

from .. import analysis
from .._version import __version__
from ..api import SFIORecord, Talvek, TalvekError
from ..outputs.folder import describe_files
from ..venue import Venue


class DesignError(Exception):
    """A design that cannot be made, explained by its one-line message."""


def optimise(tv: Talvek, venue: Venue) -> SFIORecord:
    """Select the venue's model and run the library's optimiser for it."""
    try:
        tv.select(venue.model.number)
        return tv.optimise(venue.height, venue.tilt, venue.item_table(), inactive_as_zero=venue.inactive_as_zero,
                           woofer_iterations=venue.woofer_iterations)
    except TalvekError as e:
        behind = venue.out_of_sight()
        if behind:
            k, end, (x, z) = behind[0]
            a = venue.audience[k - 1]
            raise DesignError(f"{e.text} audience[{k}] \"{a.name}\" ({venue.source}:{a.line}): its {end!r} end "
                              f"({x:g}, {z:g}) m lies behind the column's front plane") from None
        raise DesignError(f"{e.text} (designing {venue.model.name} for {venue.source})") from None


def design_date() -> str:
    """The date a design is made, UTC to the second (``SOURCE_DATE_EPOCH`` fixes it, for reproducible builds)."""
    import os
    import time

    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    seconds = int(epoch) if epoch and epoch.isdigit() else int(time.time())
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(seconds))


def voicing_curve(voicing) -> dict:
    """The voicing correction as report.json keeps it, rounded to 0.01 dB (NaN where a section is silent)."""
    def rounded(values):
        return [None if not np.isfinite(v) else round(float(v), 2) for v in values]

    return {"freq_hz": [round(float(f), 2) for f in voicing.freq], "woofer_db": rounded(voicing.wf_db),
            "tweeter_db": rounded(voicing.tw_db), "passes": voicing.passes}


def provenance(venue: Venue, grid, designed: str) -> dict:
    """Where a report comes from: the design's date, Talvek's version, the venue file and the map's grid."""
    return {"designed": designed, "talvek_version": __version__, "venue_source": str(venue.source),
            "venue_sha256": hashlib.sha256(venue.text.encode("utf-8")).hexdigest(),
            "grid": [int(g) for g in grid]}


def write_report(folder: Path, rep: dict, venue: Venue, prediction, drawing) -> None:
    """Write report.json, listing every output of the folder (the drawing's included), then let
    ``drawing`` (a :class:`Drawing`, or None) draw its figures."""
    drawn = set(drawing.names(prediction)) if drawing is not None else set()
    rep["outputs"] = sorted({p.name for p in folder.iterdir()} | {"report.json"} | drawn)
    (folder / "report.json").write_text(json.dumps(rep, indent=2) + "\n")
    if drawing is not None:
        drawing.finish(folder, rep, venue, prediction)


class Drawing(Protocol):
    """Draws a design's figures and report.pdf: the presentation layer's, handed in by the caller.

    ``begin`` is called before the levels are predicted, so what needs no
    prediction (the filters) is drawn meanwhile; ``along_lines`` as soon as
    the levels along the audience are known, while the map of the section is
    computed (the prediction's ``coverage`` still None); ``predicted`` once
    the map is, before the room (``rep`` the report of the levels so far,
    ``curve`` the voicing correction as report.json keeps it, or None);
    ``names`` are the files it writes for a prediction, which report.json
    lists among the outputs; ``finish`` draws the rest once report.json is
    written.
    """

    def begin(self, tv: Talvek, venue: Venue, folder: Path) -> None: ...

    def along_lines(self, folder: Path, venue: Venue, pred, rep: dict, curve: dict | None) -> None: ...

    def predicted(self, folder: Path, venue: Venue, pred, rep: dict, curve: dict | None) -> None: ...

    def names(self, pred) -> list[str]: ...

    def finish(self, folder: Path, rep: dict, venue: Venue, pred) -> None: ...


def predict_and_report(tv: Talvek, venue: Venue, folder: Path, stem: str, *, grid=(120, 60),
                       drawing: Drawing | None = None, progress=None, voicing=None, before: dict | None = None,
                       designed: str | None = None) -> dict:
    """Predict the levels of the current design; write report.json, and the figures and report.pdf by ``drawing``.

    ``voicing`` (a :class:`talvek.design.voicing.VoicingResult`) and ``before``
    (the report of the design as optimised) add the voicing section to the
    report and the correction curve to the levels figure. Without ``drawing``
    neither figures nor the PDF are written. ``designed`` is the date the
    report prints (default now).
    """
    curve = voicing_curve(voicing) if voicing is not None else None
    along_lines = None
    if drawing is not None:
        drawing.begin(tv, venue, folder)

        def along_lines(known):  # the levels figure is drawn while the map of the section is computed
            drawing.along_lines(folder, venue, known, analysis.report(venue, known), curve)

    pred = analysis.predict(tv, venue, grid=tuple(grid), progress=progress, along_lines=along_lines)
    rep = analysis.report(venue, pred)
    if drawing is not None:
        drawing.predicted(folder, venue, pred, rep, curve)
    room_limits = []
    if venue.room is not None:
        from ..room.prediction import room_notes, room_prediction, room_report

        pred.room = room_prediction(tv, venue, pred)
        rep["room"] = room_report(venue, pred)
        room_limits = room_notes(pred)
    rep["limits"] = analysis.limit_notes(venue, pred, rep) + room_limits
    if voicing is not None:
        rep["voicing"] = analysis.voicing_report(voicing, before)
        rep["voicing"]["curve"] = curve
    rep.update(provenance(venue, grid, designed or design_date()))
    processor = sorted(folder.glob(f"{stem}_box*.bef"), key=lambda p: int(p.stem.rsplit("box", 1)[1])) + sorted(
        folder.glob(f"{stem}_SFR.bin"))
    rep["files"] = describe_files(processor)
    if (folder / f"{stem}.npz").is_file():
        rep["record"] = f"{stem}.npz"
    write_report(folder, rep, venue, pred, drawing)
    return rep


def design_venue(tv: Talvek, venue: Venue, folder: Path, stem: str, *, grid=(120, 60),
                 drawing: Drawing | None = None, progress=None, voicing: bool = True, refine: bool = True,
                 designed: str | None = None) -> dict:
    """Optimise (and voice) for ``venue``; write the record, the processor files, report.json, and the figures by ``drawing``.

    Parameters
    ----------
    tv : Talvek
        An open session (the library is process-wide: one design at a time).
    venue : Venue
        The parsed venue.
    folder : Path
        Existing, writable output folder.
    stem : str
        File stem of the outputs.
    grid : (2,) ints
        Points of the coverage map across and up the section.
    drawing : Drawing, optional
        Draws the figures and report.pdf (``talvek.report.FiguresAndReport``);
        without it the design writes neither.
    progress : callable(done, total), optional
        Called while the levels are predicted.
    voicing : bool
        Voice the optimised design (:mod:`talvek.design.voicing`); False keeps the
        library's own design. The stored record is the design as written.
    refine : bool
        After voicing, let each band that misses its figures take its
        frequencies from a better optimiser run (:mod:`talvek.design.refinement`);
        kept only when the design gets better.

    Returns
    -------
    dict
        The report, as written to report.json.
    """
    record, voiced, before = design_record(tv, venue, voicing=voicing, refine=refine)
    return write_design(tv, venue, record, folder, stem, grid=grid, drawing=drawing, progress=progress,
                        voiced=voiced, before=before, designed=designed)


def design_record(tv: Talvek, venue: Venue, *, voicing: bool = True, refine: bool = True):
    """Optimise, voice and refine for ``venue``; the library ends holding the design.

    Returns
    -------
    record : SFIORecord
        The design, with the venue's text and source.
    voiced : VoicingResult or None
        What voicing did (None without voicing).
    before : dict or None
        The report of the design as optimised (None without voicing).
    """
    record = optimise(tv, venue)
    voiced = before = None
    if voicing:
        from .voicing import voice

        before = analysis.report(venue, analysis.predict(tv, venue, grid=(2, 2)))
        record, voiced = voice(tv, venue, record)
        if refine:
            from .refinement import refine as refine_targets

            record, voiced, refined = refine_targets(tv, venue, record, voiced)
            before["refinement"] = {"kept": refined.kept, "passes": refined.passes, "segments": refined.segments,
                                    "scores": refined.scores}
    record.venue = {"text": venue.text, "source": str(venue.source)}
    return record, voiced, before


def write_design(tv: Talvek, venue: Venue, record: SFIORecord, folder: Path, stem: str, *, grid=(120, 60),
                 drawing: Drawing | None = None, progress=None, voiced=None, before: dict | None = None,
                 designed: str | None = None) -> dict:
    """Write the record and the processor files of the library's current design (``record``), then
    report it as :func:`predict_and_report` does."""
    record.save(folder / f"{stem}.npz")
    tv.write_files(folder, stem)
    return predict_and_report(tv, venue, folder, stem, grid=grid, drawing=drawing, progress=progress,
                              voicing=voiced, before=before, designed=designed)
