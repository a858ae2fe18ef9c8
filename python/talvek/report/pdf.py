"""A small PDF writer: pages of text in the standard fonts, thin rules and RGB images.

The report's pages are text, tables and pictures already drawn, so they need
no drawing library: text is set in the PDF standard fonts (Helvetica and
Courier, which every reader has, so nothing is embedded and the text stays
searchable), and an image is a figure's :class:`talvek.figures.picture.Picture`, its
PNG data as they are. The bytes depend
only on what is drawn: no dates, no identifiers, so the same report gives
the same file.
"""

from __future__ import annotations

import zlib
from pathlib import Path

from ..figures.picture import Picture

__all__ = ["Document"]

# Fonts by the names the pages use; Symbol supplies the few signs WinAnsi lacks.
_FONTS = {"regular": b"Helvetica", "bold": b"Helvetica-Bold", "mono": b"Courier", "symbol": b"Symbol"}
_SYMBOL = {"→": 0xAE, "≥": 0xB3, "≤": 0xA3, "−": 0x2D, "←": 0xAC, "≈": 0xBB, "Δ": 0x44, "μ": 0x6D}
ASCENT = 0.72   # of the font size: from the top of the capitals down to the baseline (Helvetica's cap height)


def _literal(raw: bytes) -> bytes:
    return b"(" + raw.replace(b"\\", b"\\\\").replace(b"(", b"\\(").replace(b")", b"\\)").replace(b"\r", b"\\r") + b")"


def _runs(text: str, font: str) -> list[tuple[str, bytes]]:
    """``text`` as runs of (font, bytes): WinAnsi in the given font, the signs it lacks in Symbol."""
    runs: list[tuple[str, bytearray]] = []
    for ch in text:
        try:
            face, code = font, ch.encode("cp1252")
        except UnicodeEncodeError:
            face, code = ("symbol", bytes([_SYMBOL[ch]])) if ch in _SYMBOL else (font, b"?")
        if runs and runs[-1][0] == face:
            runs[-1][1].extend(code)
        else:
            runs.append((face, bytearray(code)))
    return [(face, bytes(code)) for face, code in runs]


def _info_string(text: str) -> bytes:
    """A text string of the document information: PDFDocEncoding when it is ASCII, else UTF-16 with a mark."""
    try:
        return _literal(text.encode("ascii"))
    except UnicodeEncodeError:
        return b"<" + ("\ufeff" + text).encode("utf-16-be").hex().upper().encode() + b">"


def _number(v: float) -> bytes:
    return (f"{v:.2f}".rstrip("0").rstrip(".") or "0").encode()


class Page:
    """One page: marks placed in points from the bottom left corner."""

    def __init__(self, width: float, height: float):
        self.width, self.height = width, height
        self._ops: list[bytes] = []
        self.fonts: set[str] = set()
        self.images: list[Picture] = []

    def text(self, x: float, top: float, text: str, *, size: float, font: str = "regular",
             grey: float = 0.0) -> None:
        """``text`` on one line starting at ``x``, the top of its capitals at ``top``."""
        ops = [b"BT", _number(grey) + b" g", _number(x) + b" " + _number(top - ASCENT * size) + b" Td"]
        for face, code in _runs(text, font):
            self.fonts.add(face)
            ops.append(b"/" + face.encode() + b" " + _number(size) + b" Tf " + _literal(code) + b" Tj")
        ops.append(b"ET")
        self._ops.append(b"\n".join(ops))

    def rule(self, x0: float, x1: float, y: float, *, width: float = 0.6, grey: float = 0.53) -> None:
        """A horizontal line from ``x0`` to ``x1`` at ``y``."""
        self._ops.append(b"%s G %s w %s %s m %s %s l S" % (_number(grey), _number(width), _number(x0), _number(y),
                                                            _number(x1), _number(y)))

    def image(self, image: Picture, x: float, y: float, width: float, height: float) -> None:
        """``image`` stretched over the box whose bottom left corner is (``x``, ``y``)."""
        self.images.append(image)
        name = b"/Im%d" % (len(self.images) - 1)
        self._ops.append(b"q %s 0 0 %s %s %s cm %s Do Q" % (_number(width), _number(height), _number(x),
                                                            _number(y), name))

    def content(self) -> bytes:
        return b"\n".join(self._ops) + b"\n"


class Document:
    """Pages of one size, written out as a PDF 1.4 file."""

    def __init__(self, width: float, height: float):
        self.width, self.height = width, height
        self.pages: list[Page] = []

    def page(self) -> Page:
        page = Page(self.width, self.height)
        self.pages.append(page)
        return page

    def write(self, path, info: dict) -> None:
        """Write the document to ``path``; ``info`` holds the document information (Title, Subject, Creator)."""
        objects: list[bytes] = []  # object k + 1 is objects[k]

        def add(body: bytes) -> int:
            objects.append(body)
            return len(objects)

        def stream(head: bytes, data: bytes) -> bytes:
            return b"<< " + head + b" /Length %d >>\nstream\n" % len(data) + data + b"\nendstream"

        catalog = add(b"")  # filled in once the page tree's number is known
        tree = add(b"")
        fonts = {}
        for name in sorted({f for p in self.pages for f in p.fonts}):
            encoding = b"" if name == "symbol" else b" /Encoding /WinAnsiEncoding"
            fonts[name] = add(b"<< /Type /Font /Subtype /Type1 /BaseFont /" + _FONTS[name] + encoding + b" >>")
        kids = []
        for page in self.pages:
            images = [add(stream(b"/Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace /DeviceRGB "
                                 b"/BitsPerComponent 8 /Filter /FlateDecode /DecodeParms << /Predictor 15 "
                                 b"/Colors 3 /BitsPerComponent 8 /Columns %d >>" % (im.columns, im.rows, im.columns),
                                 im.data)) for im in page.images]
            content = add(stream(b"/Filter /FlateDecode", zlib.compress(page.content(), 6)))
            font_refs = b" ".join(b"/%s %d 0 R" % (name.encode(), fonts[name]) for name in sorted(page.fonts))
            image_refs = b" ".join(b"/Im%d %d 0 R" % (k, ref) for k, ref in enumerate(images))
            kids.append(add(b"<< /Type /Page /Parent %d 0 R /MediaBox [0 0 %s %s] /Contents %d 0 R "
                            b"/Resources << /Font << %s >> /XObject << %s >> >> >>"
                            % (tree, _number(self.width), _number(self.height), content, font_refs, image_refs)))
        objects[catalog - 1] = b"<< /Type /Catalog /Pages %d 0 R >>" % tree
        objects[tree - 1] = b"<< /Type /Pages /Kids [%s] /Count %d >>" % (
            b" ".join(b"%d 0 R" % k for k in kids), len(kids))
        information = add(b"<< " + b" ".join(b"/" + key.encode() + b" " + _info_string(value)
                                            for key, value in info.items()) + b" >>")

        out = bytearray(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
        offsets = []
        for number, body in enumerate(objects, 1):
            offsets.append(len(out))
            out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
        xref = len(out)
        out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
        out += b"".join(b"%010d 00000 n \n" % offset for offset in offsets)
        out += b"trailer\n<< /Size %d /Root %d 0 R /Info %d 0 R >>\nstartxref\n%d\n%%EOF\n" % (
            len(objects) + 1, catalog, information, xref)
        Path(path).write_bytes(bytes(out))
