"""The design pipeline shared by ``talvek design`` and the venue editor.

One venue in, everything a designer keeps out: the SFIO record (``<stem>.npz``
with the venue text), the processor files, report.json and the plots. Both the
command line and the editor call :func:`design_venue`, so the same venue gives
the same files whichever way it was designed.
"""

from __future__ import annotations

import json
from pathlib import Path

from . import analysis
from .api import SFIORecord, Talvek, TalvekError
from .venue import Venue


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


def predict_and_report(tv: Talvek, venue: Venue, folder: Path, stem: str, *, grid=(120, 60), plots: bool = True,
                       progress=None, voicing=None, before: dict | None = None) -> dict:
    """Predict the levels of the current design, write report.json and (optionally) the plots.

    ``voicing`` (a :class:`talvek.voicing.VoicingResult`) and ``before`` (the
    report of the design as optimised) add the voicing section to the report
    and the correction curve to levels.png.
    """
    if plots:  # the filters need no prediction: drawn while the levels are predicted
        from . import plots as p

        figures = p.FigureThreads()
        figures.submit(p.filters_figure, folder / "filters.png", analysis.filter_responses(tv),
                       title=f"{venue.name}: steering filters of {venue.model.name}")
    pred = analysis.predict(tv, venue, grid=tuple(grid), progress=progress)
    rep = analysis.report(venue, pred)
    if venue.room is not None:
        from .room.prediction import room_prediction, room_report

        pred.room = room_prediction(tv, venue, pred)
        rep["room"] = room_report(venue, pred)
    rep["limits"] = analysis.limit_notes(venue, pred, rep)
    if voicing is not None:
        rep["voicing"] = analysis.voicing_report(voicing, before)
    rep["files"] = sorted(p.name for p in folder.glob(f"{stem}_*"))
    (folder / "report.json").write_text(json.dumps(rep, indent=2) + "\n")
    if plots:
        figures.submit(p.coverage_figure, folder / "coverage.png", venue, pred)
        figures.submit(p.levels_figure, folder / "levels.png", venue, pred, voicing=voicing)
        figures.finish()
    return rep


def design_venue(tv: Talvek, venue: Venue, folder: Path, stem: str, *, grid=(120, 60), plots: bool = True,
                 progress=None, voicing: bool = True, refine: bool = True) -> dict:
    """Optimise (and voice) for ``venue``; write the record, the processor files, report.json and the plots.

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
    plots : bool
        Write coverage.png, levels.png and filters.png.
    progress : callable(done, total), optional
        Called while the levels are predicted.
    voicing : bool
        Voice the optimised design (:mod:`talvek.voicing`); False keeps the
        library's own design. The stored record is the design as written.
    refine : bool
        After voicing, let each band that misses its figures take its
        frequencies from a better optimiser run (:mod:`talvek.refinement`);
        kept only when the design gets better.

    Returns
    -------
    dict
        The report, as written to report.json.
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
    record.save(folder / f"{stem}.npz")
    tv.write_files(folder, stem)
    return predict_and_report(tv, venue, folder, stem, grid=grid, plots=plots, progress=progress, voicing=voiced,
                              before=before)
