"""report.pdf's pages through ReportLab: text in embedded TrueType fonts, thin rules and the figures' pictures.

The report's pages are text, tables and figures already drawn. Text is set
in DejaVu Sans (the figures' face) and DejaVu Sans Mono, embedded as subsets,
so every sign prints and the text stays searchable. A figure's
:class:`talvek.figures.picture.Picture` is placed as it is: its bytes are the
deflated rows a PNG holds, which a PDF image reads with the
PNG predictor, so nothing is decoded or compressed again. ReportLab's
invariant mode leaves out dates and random identifiers, so the same report
gives the same file.
"""

from __future__ import annotations

import functools
import os
from pathlib import Path

from ..figures.picture import Picture

__all__ = ["Document", "load"]

_FACES = {"regular": "DejaVuSans.ttf", "bold": "DejaVuSans-Bold.ttf", "mono": "DejaVuSansMono.ttf"}
_FONT_FOLDER = Path("/usr/share/fonts/truetype/dejavu")
ASCENT = 0.73   # of the font size: from the top of the capitals down to the baseline (DejaVu's cap height)


@functools.lru_cache(maxsize=None)
def _font(face: str) -> str:
    """The registered name of ``face`` (regular, bold, mono), registered on first use."""
    from reportlab.pdfbase import pdfmetrics
    from reportlab.pdfbase.ttfonts import TTFont

    name = f"Talvek-{face}"
    pdfmetrics.registerFont(TTFont(name, str(_FONT_FOLDER / _FACES[face])))
    return name


def load() -> None:
    """Import ReportLab and read the fonts now (about a tenth of a second), so that writing the
    document later costs only its pages: called while the figures are still being drawn."""
    from reportlab.pdfgen import canvas  # noqa: F401

    for face in _FACES:
        _font(face)


def _image_object(picture: Picture, name: str):
    """A PDF image of ``picture``'s bytes as they are, read through the PNG predictor."""
    from reportlab.pdfbase import pdfdoc

    class PngRows(pdfdoc.PDFImageXObject):
        def format(self, document):
            stream = pdfdoc.PDFStream(content=picture.data)
            entries = stream.dictionary
            entries["Type"] = pdfdoc.PDFName("XObject")
            entries["Subtype"] = pdfdoc.PDFName("Image")
            entries["Width"], entries["Height"] = picture.columns, picture.rows
            entries["BitsPerComponent"] = 8
            entries["ColorSpace"] = pdfdoc.PDFName("DeviceRGB")
            entries["Filter"] = pdfdoc.PDFName("FlateDecode")
            entries["DecodeParms"] = pdfdoc.PDFDictionary(
                {"Predictor": 15, "Colors": 3, "BitsPerComponent": 8, "Columns": picture.columns})
            entries["Length"] = len(picture.data)
            stream.filters = ()  # the data are deflated already
            return stream.format(document)

    image = PngRows(name)
    image.width, image.height = picture.columns, picture.rows
    return image


def _undated_info():
    """The document information without ReportLab's dates (its invariant mode fixes them at 2000-01-01)."""
    import re

    from reportlab.pdfbase import pdfdoc

    class UndatedInfo(pdfdoc.PDFInfo):
        def format(self, document):
            return re.sub(rb"\s*/(CreationDate|ModDate) \([^)]*\)", b"", super().format(document))

    return UndatedInfo()


class Page:
    """One page: marks placed in points from the bottom left corner."""

    def __init__(self, width: float, height: float):
        self.width, self.height = width, height
        self.marks: list[tuple] = []

    def text(self, x: float, top: float, text: str, *, size: float, font: str = "regular",
             grey: float = 0.0) -> None:
        """``text`` on one line starting at ``x``, the top of its capitals at ``top``."""
        self.marks.append(("text", x, top - ASCENT * size, text, size, font, grey))

    def rule(self, x0: float, x1: float, y: float, *, width: float = 0.6, grey: float = 0.53) -> None:
        """A horizontal line from ``x0`` to ``x1`` at ``y``."""
        self.marks.append(("rule", x0, x1, y, width, grey))

    def image(self, image: Picture, x: float, y: float, width: float, height: float) -> None:
        """``image`` stretched over the box whose bottom left corner is (``x``, ``y``)."""
        self.marks.append(("image", image, x, y, width, height))


class Document:
    """Pages of one size, written out as one PDF file."""

    def __init__(self, width: float, height: float):
        self.width, self.height = width, height
        self.pages: list[Page] = []

    def page(self) -> Page:
        page = Page(self.width, self.height)
        self.pages.append(page)
        return page

    def write(self, path, info: dict) -> Path:
        """Write the document to ``path``, through a temporary file beside it, so that a failure leaves
        no half-written report; ``info`` holds the document information (Title, Subject, Creator)."""
        path = Path(path)
        partial = path.with_name(f".{path.name}.partial")
        try:
            self._write(partial, info)
            os.replace(partial, path)
        finally:
            partial.unlink(missing_ok=True)
        return path

    def _write(self, path: Path, info: dict) -> None:
        from reportlab.pdfgen import canvas

        pdf = canvas.Canvas(str(path), pagesize=(self.width, self.height), invariant=1, pageCompression=1,
                            initialFontName=_font("regular"), initialFontSize=10)
        pdf._doc.info = _undated_info()
        pdf.setTitle(info.get("Title", ""))
        pdf.setSubject(info.get("Subject", ""))
        pdf.setCreator(info.get("Creator", ""))
        pdf.setAuthor(info.get("Creator", ""))
        pdf.setProducer(info.get("Creator", ""))
        pictures = 0
        for page in self.pages:
            for mark in page.marks:
                kind = mark[0]
                if kind == "text":
                    _, x, baseline, text, size, font, grey = mark
                    pdf.setFillGray(grey)
                    pdf.setFont(_font(font), size)
                    pdf.drawString(x, baseline, text)
                elif kind == "rule":
                    _, x0, x1, y, width, grey = mark
                    pdf.setStrokeGray(grey)
                    pdf.setLineWidth(width)
                    pdf.line(x0, y, x1, y)
                else:
                    _, picture, x, y, width, height = mark
                    pictures += 1
                    self._place(pdf, picture, f"figure{pictures}", x, y, width, height)
            pdf.showPage()
        pdf.save()

    @staticmethod
    def _place(pdf, picture: Picture, name: str, x: float, y: float, width: float, height: float) -> None:
        # canvas.drawImage would decode the rows and deflate them again; this registers the
        # picture's own bytes the way drawImage registers an image, and draws it the same way.
        registered = pdf._doc.getXObjectName(name)
        image = _image_object(picture, name)
        pdf._setXObjects(image)
        pdf._doc.Reference(image, registered)
        pdf._doc.addForm(name, image)
        pdf.saveState()
        pdf.translate(x, y)
        pdf.scale(width, height)
        pdf._code.append(f"/{registered} Do")
        pdf.restoreState()
        pdf._currentPageHasImages = 1
        pdf._formsinuse.append(name)
