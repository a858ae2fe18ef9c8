"""The figures and report.pdf of a design, drawn while the design predicts.

:class:`FiguresAndReport` is what ``talvek design``, ``talvek redesign`` and
the editor hand to :func:`talvek.design.pipeline.design_venue`: the design
layer knows only that something draws, not matplotlib.
"""

from __future__ import annotations

from pathlib import Path

from .. import analysis

__all__ = ["FiguresAndReport", "figure_names"]


def figure_names(pred) -> list[str]:
    """The figures of a design, in the order the report shows them (intelligibility only with a room)."""
    return [n for n in ("coverage", "levels", "intelligibility", "filters")
            if n != "intelligibility" or getattr(pred, "room", None) is not None]


class FiguresAndReport:
    """Draws the figures in ``formats`` (png, svg, pdf), then report.pdf from their pixels.

    The figures are drawn by ``workers`` (:class:`talvek.report.workers.FigureWorkers`,
    which ``talvek design`` starts before it optimises) or else on threads of
    this process (the editor, which serves on threads and must not fork).
    """

    def __init__(self, formats=("png",), workers=None):
        self.formats = tuple(formats)
        self._workers = workers
        self._threads = None
        self._responses = None
        self._section = False
        self._levels = False

    def _drawer(self):
        if self._threads is None:
            if self._workers is not None:
                self._threads = self._workers
            else:
                from .. import figures

                figures.preload()
                self._threads = figures.FigureThreads(self.formats)
        return self._threads

    def ahead(self, venue) -> None:
        """Start the title page's section now: it needs only the venue, and drawn before the
        design it takes the time the design leaves free."""
        from ..figures.section import section_figure
        from .pages import section_size

        if not self._section:
            self._drawer().submit("section", section_figure, None, venue, section_size())
            self._section = True

    def begin(self, tv, venue, folder: Path) -> None:
        """Start the filters figure (it needs the responses, not the prediction) and the title page's section."""
        from ..figures.filters import filters_figure

        self._responses = analysis.filter_responses(tv)
        self._drawer().submit("filters", filters_figure, folder / "filters", self._responses,
                              title=f"{venue.name}: steering filters of {venue.model.name}")
        self.ahead(venue)

    def along_lines(self, folder: Path, venue, pred, rep: dict, curve) -> None:
        """Start the levels figure: it needs the levels along the audience, not the map."""
        from ..figures.levels import levels_figure

        self._drawer().submit("levels", levels_figure, folder / "levels", venue, pred, correction=curve,
                              offset_db=rep["level_offset_db"], headroom_db=rep["headroom_at_targets_db"])
        self._levels = True

    def predicted(self, folder: Path, venue, pred, rep: dict, curve) -> None:
        """Start the coverage figure (and the levels', if not yet) while the design goes on to the room."""
        from ..figures.coverage import coverage_figure

        if not self._levels:
            self.along_lines(folder, venue, pred, rep, curve)
        self._drawer().submit("coverage", coverage_figure, folder / "coverage", venue, pred,
                              offset_db=rep["level_offset_db"])

    def names(self, pred) -> list[str]:
        return [f"{n}.{fmt}" for n in figure_names(pred) for fmt in self.formats] + ["report.pdf"]

    def finish(self, folder: Path, rep: dict, venue, pred) -> None:
        """Draw the figure of the room, wait for every figure, and write report.pdf."""
        from ..figures.intelligibility import intelligibility_figure
        from . import pdf
        from .document import write_pdf

        if "intelligibility" in figure_names(pred):
            self._threads.submit("intelligibility", intelligibility_figure, folder / "intelligibility", venue, pred)
        pdf.load()  # while the last figures are drawn
        write_pdf(folder / "report.pdf", rep, venue, pred, figures=self._threads.finish(), responses=self._responses)
