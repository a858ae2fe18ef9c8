"""The text pages of the report: title block, tables, the room, the processor files.

Every number is the one report.json holds, printed with the rounding it has
there, so that the document and the file agree to the last digit.
"""

from __future__ import annotations

import numpy as np

from ..figures.style import PAGE
from .pdf import Document

# Page layout in page fractions, from the bottom left.
LEFT, TOP = 0.06, 0.92
WIDTH, HEIGHT = 72.0 * PAGE[0], 72.0 * PAGE[1]  # points
# Where the title page shows the drawn section (left, bottom, width, height): below the title block.
SECTION_BOX = (0.045, 0.03, 0.93, 0.55)


def section_size() -> tuple[float, float]:
    """Inches of the section drawing, so that it fills :data:`SECTION_BOX` pixel for pixel."""
    return SECTION_BOX[2] * PAGE[0], SECTION_BOX[3] * PAGE[1]


def new_document() -> Document:
    return Document(WIDTH, HEIGHT)


def _band(fc: float) -> str:
    return f"{fc / 1000:g} kHz" if fc >= 1000 else f"{fc:g} Hz"


def _db(v, fmt="+.2f") -> str:
    return "–" if v is None else format(v, fmt)


class Page:
    """A report page that is written top to bottom: headings, paragraphs and tables."""

    def __init__(self, doc: Document, title: str, footer: str):
        self.page = doc.page()
        self.text(LEFT, 0.955, title, size=17, font="bold")
        self.text(LEFT, 0.025 + 0.012, footer, size=8, grey=0.4)
        self.y = TOP - 0.02

    def text(self, x: float, y: float, text: str, *, size: float, font: str = "regular", grey: float = 0.0) -> None:
        """One line of text, the top of its capitals at ``y`` (page fractions)."""
        self.page.text(x * WIDTH, y * HEIGHT, text, size=size, font=font, grey=grey)

    def heading(self, text: str) -> None:
        self.y -= 0.012
        self.text(LEFT, self.y, text, size=12.5, font="bold")
        self.y -= 0.036

    def paragraph(self, text: str, *, size: float = 10, width: int = 150) -> None:
        import textwrap

        for line in textwrap.wrap(text, width) or [""]:
            self.text(LEFT, self.y, line, size=size)
            self.y -= 0.026 * size / 10

    def table(self, header: list[str], rows: list[list[str]], columns: list[float], *, left: float = LEFT,
              size: float = 9.5, mono: tuple = ()) -> None:
        """Rows of cells at the given column offsets (page fractions from ``left``);
        columns named in ``mono`` in a fixed-width face."""
        step = 0.025 * size / 9.5
        for r, cells in enumerate([header] + rows):
            for c, (cell, x) in enumerate(zip(cells, columns)):
                font = "bold" if r == 0 else "mono" if c in mono else "regular"
                self.text(left + x, self.y, cell, size=size, font=font)
            self.y -= step
            if r == 0:
                self.page.rule(left * WIDTH, (left + columns[-1] + 0.1) * WIDTH, (self.y + step * 0.6) * HEIGHT)
        self.y -= 0.01


def footer(rep: dict) -> str:
    return (f"{rep['venue']} · {rep['model']} · designed {rep.get('designed', 'unknown')} · "
            f"Talvek {rep.get('talvek_version', '')}")


def title_page(doc: Document, rep: dict, section) -> None:
    """The title block and the drawn section (``section``: a :class:`talvek.report.pdf.Image` of
    :func:`section_size`)."""
    page = Page(doc, f"Design report: {rep['venue']}", footer(rep))
    rows = [["venue", rep["venue"]], ["column model", rep["model"]],
            ["mounting height", f"{rep['height_m']:g} m (bottom of the column above the floor)"],
            ["tilt", f"{rep['tilt_deg']:g}° (positive aims upwards)"],
            ["designed", rep.get("designed", "unknown")], ["Talvek version", rep.get("talvek_version", "unknown")],
            ["venue file", rep.get("venue_source", "")], ["venue file SHA-256", rep.get("venue_sha256", "")]]
    for label, value in rows:
        page.text(LEFT, page.y, label, size=10, grey=0.27)
        page.text(LEFT + 0.16, page.y, value, size=10, font="mono" if label.endswith("SHA-256") else "regular")
        page.y -= 0.028
    page.y -= 0.01
    page.paragraph(f"Headroom at the targets {rep['headroom_at_targets_db']:+.2f} dB "
                   f"(design {rep['level_offset_db']:+.2f} dB to meet the targets on average; "
                   f"frequency range analysed {rep['frequency_range_hz'][0]:g} to {rep['frequency_range_hz'][1]:g} Hz).")
    left, bottom, width, height = SECTION_BOX
    page.page.image(section, left * WIDTH, bottom * HEIGHT, width * WIDTH, height * HEIGHT)


def tables_page(doc: Document, rep: dict) -> None:
    """Deviation per band, headroom and maximum level per line, the voicing correction, the limits."""
    page = Page(doc, "Levels against the targets", footer(rep))
    page.heading("Deviation from target along the active audience lines, per octave band")
    active = [line for line in rep["audience_lines"] if line["active"]]
    header = ["band", "all lines RMS", "worst"] + [f"{line['name']}" for line in active]
    rows = []
    for b, band in enumerate(rep["bands"]):
        rows.append([_band(band["band_hz"]), f"{band['rms_db']:.2f} dB", f"{band['worst_db']:+.2f} dB"]
                    + [f"{line['bands'][b]['rms_db']:.2f} / {line['bands'][b]['worst_db']:+.2f}" for line in active])
    columns = [0.0, 0.08, 0.2] + [0.32 + 0.13 * k for k in range(len(active) + 1)]
    page.table(header, rows, columns)
    page.paragraph("RMS and worst signed deviation of the predicted octave-band level from the target, dB, at the "
                   "volume that meets the targets on average; per line as RMS / worst.", size=9)

    page.heading("Headroom and maximum level")
    section = rep.get("section_headroom_at_targets_db") or {}
    text = (f"Headroom as designed {rep['headroom_db']:+.2f} dB; gain to meet the targets {rep['level_offset_db']:+.2f} dB;"
            f" headroom at the targets {rep['headroom_at_targets_db']:+.2f} dB")
    if section:
        text += " (frequency by frequency: " + ", ".join(f"{k} {v:+.2f} dB" for k, v in section.items()) + ")"
    page.paragraph(text + ".", size=9.5)
    rows = [[line["name"], "yes" if line["active"] else "no",
             "–" if not line["target_db"] else " → ".join(f"{v:g}" for v in line["target_db"]) + " dB SPL",
             f"{line['max_spl_at_targets_db']:.1f} dB SPL", f"{line['max_spl_before_clipping_db']:.1f} dB SPL"]
            for line in rep["audience_lines"]]
    page.table(["audience line", "active", "target", "max at targets", "max before clipping"], rows,
               [0.0, 0.2, 0.27, 0.45, 0.6, 0.75])

    voicing = rep.get("voicing")
    if voicing:
        page.heading(f"Voicing correction ({voicing['passes']} passes)")
        before = {b["band_hz"]: b for b in voicing.get("before", {}).get("bands", [])}
        rows = []
        for c, band in zip(voicing["correction"], rep["bands"]):
            b = before.get(c["band_hz"])
            rows.append([_band(c["band_hz"]), _db(c["correction_db"]) + " dB",
                         "–" if b is None else f"{b['rms_db']:.2f} / {b['worst_db']:+.2f}",
                         f"{band['rms_db']:.2f} / {band['worst_db']:+.2f}"])
        page.table(["band", "correction", "as optimised (RMS / worst)", "voiced (RMS / worst)"], rows,
                   [0.0, 0.08, 0.2, 0.4, 0.6])

    page.heading("Limits")
    for note in rep.get("limits") or ["every band meets its figures; the column has headroom at the targets"]:
        page.paragraph("• " + note, size=9.5, width=165)


def room_page(doc: Document, rep: dict) -> None:
    """The room as given and the STI reached along each audience line."""
    room = rep["room"]
    page = Page(doc, "The room and speech intelligibility", footer(rep))
    page.heading("The room, per octave band")
    bands = room["bands_hz"]
    rows = []
    for key, label, fmt in (("rt60_s", "reverberation time, s", ".2f"), ("noise_db", "background noise, dB SPL", ".1f"),
                            ("air_absorption_db_per_m", "air absorption, dB/m", ".4f"),
                            ("speech_spectrum_db", "speech spectrum, dB re dB(A)", ".1f"),
                            ("power_level_db", "sound power of the speech, dB re 1 pW", ".1f")):
        values = room.get(key)
        if key in room:
            rows.append([label] + (["none"] * len(bands) if values is None else [format(v, fmt) for v in values]))
    page.table([""] + [_band(b) for b in bands], rows, [0.0] + [0.3 + 0.1 * k for k in range(len(bands) + 1)])
    page.heading("STI along the audience lines (design, and the same column unsteered)")
    rows = [[line["name"], f"{line['sti_mean']:.2f}", f"{line['sti_min']:.2f}",
             f"{100 * line['share_sti_050']:.0f} %", f"{line['sti_unsteered_mean']:.2f}",
             f"{line['sti_unsteered_min']:.2f}"] for line in room["lines"]]
    page.table(["audience line", "STI mean", "STI min", "share ≥ 0.50", "unsteered mean", "unsteered min"], rows,
               [0.0, 0.2, 0.3, 0.4, 0.52, 0.64, 0.76])
    if room.get("seats"):
        page.heading("Speech level and signal-to-noise ratio along the active lines")
        rows = []
        for seat in room["seats"]:
            level, snr = np.asarray(seat["speech_dba"], float), seat.get("snr_dba")
            snr = None if snr is None else np.asarray(snr, float)
            rows.append([seat["line"], f"{level.mean():.1f}", f"{level.min():.1f} – {level.max():.1f}",
                         "—" if snr is None else f"{snr.mean():.1f}", "—" if snr is None else f"{snr.min():.1f}"])
        page.table(["audience line", "speech dB(A) mean", "range", "S/N dB(A) mean", "S/N min"], rows,
                   [0.0, 0.2, 0.38, 0.56, 0.74, 0.9])
    page.paragraph("Qualification bands of the STI: A+ above 0.76, A 0.72–0.76, B 0.68–0.72, C 0.64–0.68, "
                   "D 0.60–0.64, E 0.56–0.60, F 0.52–0.56, G 0.48–0.52, H 0.44–0.48, I 0.40–0.44, J 0.36–0.40, "
                   "U below 0.36.", size=9)


def _format(value) -> str:
    if isinstance(value, float):
        return f"{value:.2f}"
    if isinstance(value, (list, tuple)):
        return ", ".join(_format(v) for v in value)
    return str(value)


def files_page(doc: Document, rep: dict) -> None:
    """The processor files with their sizes and SHA-256, for the person who loads them."""
    page = Page(doc, "Processor files", footer(rep))
    page.paragraph("Load these files into the column's processor. Check each file's size and SHA-256 against this "
                   "list before loading (`sha256sum FILE`); `talvek verify FOLDER` checks them all, and decodes "
                   "them against the stored design.", size=10)
    page.y -= 0.01
    rows = [[f["name"], f"{f['bytes']:d}", f["sha256"]] for f in rep.get("files", [])]
    page.table(["file", "bytes", "SHA-256"], rows, [0.0, 0.22, 0.32, 0.9], size=9.5, mono=(2,))
    if rep.get("record"):
        page.paragraph(f"The design record {rep['record']} holds the steering responses the files were made from "
                       "(`talvek redesign` writes the same files again).", size=9.5)


def figure_page(doc: Document, image) -> None:
    """A page that is one figure's pixels, edge to edge (figures are drawn at the page's size)."""
    doc.page().image(image, 0.0, 0.0, WIDTH, HEIGHT)
