"""report.pdf: the pages in order.

The figure pages are the pixels the design drew its figures as (the PNG
files' pixels), one figure to a page of the same size; nothing is drawn
twice. The text pages are text in the PDF standard fonts
(:mod:`talvek.report.pdf`), so writing the document costs next to nothing
once the figures are drawn. The figures as vectors are the ``--figures svg``
or ``pdf`` files. The document carries no creation date, so the same design
gives the same bytes.
"""

from __future__ import annotations

from pathlib import Path

from . import pages
from ..figures.picture import Picture, picture_of


def draw(name: str, venue, pred, rep: dict, responses):
    """The figure ``name`` of the report drawn now: a matplotlib figure (``section``: the title page's)."""
    from ..figures import coverage, filters, intelligibility, levels, section

    if name == "coverage":
        return coverage.coverage_figure(venue, pred, offset_db=rep["level_offset_db"])
    if name == "levels":
        return levels.levels_figure(venue, pred, correction=(rep.get("voicing") or {}).get("curve"),
                                    offset_db=rep["level_offset_db"], headroom_db=rep["headroom_at_targets_db"])
    if name == "intelligibility":
        return intelligibility.intelligibility_figure(venue, pred)
    if name == "section":
        return section.section_figure(venue, pages.section_size())
    return filters.filters_figure(responses, title=f"{venue.name}: steering filters of {venue.model.name}")


def _image(name: str, figures: dict, venue, pred, rep: dict, responses) -> Picture:
    """The picture of a figure: drawn already (a Picture, or pixels), or drawn now (``talvek report``)."""
    got = figures.get(name)
    if isinstance(got, Picture):
        return got
    if got is None:
        from ..figures.style import pixels

        got = pixels(draw(name, venue, pred, rep, responses))
    return picture_of(got)


def write_pdf(path, rep: dict, venue, pred, *, figures: dict | None = None, responses=None) -> Path:
    """Write the report of a design to ``path`` (through a temporary file beside it).

    Parameters
    ----------
    rep : dict
        The report as written to report.json (its numbers are the ones printed).
    venue, pred
        The venue and the prediction the figures show.
    figures : dict, optional
        The figures already drawn, by name (``coverage``, ``levels``,
        ``intelligibility``, ``filters``, and ``section`` for the title page),
        as :class:`talvek.figures.picture.Picture` or as (rows, columns, 3) pixels;
        the others are drawn here.
    responses : FilterResponses, optional
        Needed when the filters figure is not among ``figures``.
    """
    figures = figures or {}

    def image(name):
        return _image(name, figures, venue, pred, rep, responses)

    doc = pages.new_document()
    pages.title_page(doc, rep, image("section"))
    pages.figure_page(doc, image("coverage"))
    pages.figure_page(doc, image("levels"))
    pages.tables_page(doc, rep)
    if getattr(pred, "room", None) is not None and "room" in rep:
        pages.room_page(doc, rep)
        pages.figure_page(doc, image("intelligibility"))
    pages.figure_page(doc, image("filters"))
    pages.files_page(doc, rep)

    info = {"Title": f"Design report: {rep['venue']}", "Subject": f"{rep['model']} for {rep['venue']}",
            "Creator": f"Talvek {rep.get('talvek_version', '')}"}
    return doc.write(path, info)
