"""report.pdf: the pages in order, through matplotlib's PDF backend.

The figure pages are the pixels the design drew its figures as (the PNG
files' pixels), placed on pages of the same size; nothing is drawn twice.
The text pages are text. The figures as vectors are the ``--figures svg`` or
``pdf`` files. The document carries no creation date, so the same design
gives the same bytes.
"""

from __future__ import annotations

import os
from pathlib import Path

from . import pages


def _figure(name: str, figures: dict, venue, pred, rep: dict, responses):
    """A page of the figure's pixels: drawn already, or drawn now (``talvek report``)."""
    from ..figures.style import new_figure, pixels

    rgb = figures[name] if name in figures else pixels(_draw(name, venue, pred, rep, responses))
    page = new_figure()
    page.figimage(rgb, origin="upper", resize=False, interpolation="none")  # embedded as is, not resampled
    return page


def _draw(name: str, venue, pred, rep: dict, responses):
    from ..figures import coverage, filters, intelligibility, levels

    if name == "coverage":
        return coverage.coverage_figure(venue, pred, offset_db=rep["level_offset_db"])
    if name == "levels":
        return levels.levels_figure(venue, pred, correction=(rep.get("voicing") or {}).get("curve"),
                                    offset_db=rep["level_offset_db"], headroom_db=rep["headroom_at_targets_db"])
    if name == "intelligibility":
        return intelligibility.intelligibility_figure(venue, pred)
    return filters.filters_figure(responses, title=f"{venue.name}: steering filters of {venue.model.name}")


def write_pdf(path, rep: dict, venue, pred, *, figures: dict | None = None, responses=None) -> Path:
    """Write the report of a design to ``path`` (through a temporary file beside it).

    Parameters
    ----------
    rep : dict
        The report as written to report.json (its numbers are the ones printed).
    venue, pred
        The venue and the prediction the figures show.
    figures : dict, optional
        Pixels of the figures already drawn, by name (``coverage``,
        ``levels``, ``intelligibility``, ``filters``); the others are drawn here.
    responses : FilterResponses, optional
        Needed when the filters figure is not among ``figures``.
    """
    from matplotlib.backends.backend_pdf import PdfPages

    figures = figures or {}
    room = getattr(pred, "room", None) is not None and "room" in rep
    sequence = [pages.title_page(rep, venue), _figure("coverage", figures, venue, pred, rep, responses),
                _figure("levels", figures, venue, pred, rep, responses), pages.tables_page(rep)]
    if room:
        sequence += [pages.room_page(rep), _figure("intelligibility", figures, venue, pred, rep, responses)]
    sequence += [_figure("filters", figures, venue, pred, rep, responses), pages.files_page(rep)]

    path = Path(path)
    partial = path.with_name(f".{path.name}.partial")
    metadata = {"Title": f"Design report: {rep['venue']}", "Subject": f"{rep['model']} for {rep['venue']}",
                "Creator": f"Talvek {rep.get('talvek_version', '')}", "Producer": None, "CreationDate": None}
    try:
        with PdfPages(partial, metadata=metadata) as pdf:
            for fig in sequence:
                pdf.savefig(fig)
        os.replace(partial, path)
    finally:
        partial.unlink(missing_ok=True)
    return path
