"""The figures and report.pdf of a system of several columns.

:class:`SystemFiguresAndReport` is what ``talvek design`` and the editor hand to
:func:`talvek.design.system.design_system`; each column's own folder is drawn
by a :class:`FiguresAndReport` of the same formats.
"""

from __future__ import annotations

from pathlib import Path

from .drawing import FiguresAndReport
from .pages import LEFT, Page, _band, figure_page, new_document

__all__ = ["SystemFiguresAndReport", "SYSTEM_FIGURES", "write_system_pdf"]

SYSTEM_FIGURES = ("coverage", "levels", "timing")


def _footer(rep: dict) -> str:
    return (f"{rep['venue']} · {len(rep['columns'])} columns · designed {rep.get('designed', 'unknown')} · "
            f"Talvek {rep.get('talvek_version', '')}")


def _summary_page(doc, rep: dict) -> None:
    page = Page(doc, f"System report: {rep['venue']}", _footer(rep))
    for label, value in (("venue file", rep.get("venue_source", "")),
                         ("venue file SHA-256", rep.get("venue_sha256", "")),
                         ("designed", rep.get("designed", "")), ("precedence offset", f"{rep['precedence_ms']:g} ms")):
        page.text(LEFT, page.y, label, size=10, grey=0.27)
        page.text(LEFT + 0.16, page.y, value, size=10, font="mono" if label.endswith("SHA-256") else "regular")
        page.y -= 0.028
    page.heading("Columns")
    rows = [[c["name"], c["model"], f"{c['x']:g} m", c["facing"], f"{c['height_m']:g} m / {c['tilt_deg']:g}°",
             f"{c['delay_ms']:.2f} ms" + (" (given)" if c["delay_given"] else ""), f"{c['level_offset_db']:+.2f} dB",
             ", ".join(c["serves"]), c["folder"] + "/"] for c in rep["columns"]]
    page.table(["column", "model", "x", "facing", "height / tilt", "delay", "level", "serves", "folder"], rows,
               [0.0, 0.12, 0.22, 0.29, 0.35, 0.47, 0.6, 0.69, 0.85, 0.95], size=8.5)
    page.paragraph("Level: the gain each column plays at over its own files (its design's level offset and the "
                   "venue's gain_db); the system voicing is in the files.", size=9)
    page.heading("Deviation from target along every active line, overlap zones included, per octave band")
    active = [line for line in rep["audience_lines"] if line["active"]]
    rows = [[_band(b["band_hz"]), f"{b['rms_db']:.2f} dB", f"{b['worst_db']:+.2f} dB"]
            + [f"{line['bands'][k]['rms_db']:.2f} / {line['bands'][k]['worst_db']:+.2f}" for line in active[:5]]
            for k, b in enumerate(rep["bands"])]
    page.table(["band", "RMS", "worst"] + [line["name"] for line in active[:5]], rows,
               [0.0, 0.08, 0.18] + [0.28 + 0.13 * k for k in range(len(active[:5]) + 1)], size=8.5)
    _lines_table(page, rep)


def _lines_table(page, rep: dict) -> None:
    """Per audience line: the loudest level at the columns' levels and before clipping, and with a room the STI,
    steered and unsteered; one table, so that a system of five lines keeps to its page."""
    room = rep.get("room")
    sti = {line["name"]: line for line in room["lines"]} if room else {}
    unsteered = bool(sti) and all(line.get("sti_unsteered_mean") is not None for line in sti.values())
    if room:
        page.heading("Per audience line: maximum level and speech intelligibility (STI)")
    else:
        page.heading("Per audience line: maximum level")
    header = ["audience line", "at the levels", "before clipping"]
    if room:
        header += ["STI mean", "minimum", "≥ 0.50", "band"] + (["unsteered"] if unsteered else [])
    rows = []
    for line in rep["audience_lines"]:
        clip = line.get("max_spl_before_clipping_db")
        row = [line["name"] + ("" if line["active"] else " (inactive)"), f"{line['max_spl_at_targets_db']:.1f} dB SPL",
               f"{clip:.1f} dB SPL" if clip is not None else "–"]
        if room:
            s = sti[line["name"]]
            row += [f"{s['sti_mean']:.3f}", f"{s['sti_min']:.3f}", f"{100 * s['share_sti_050']:.0f} %",
                    s["qualification"]] + ([f"{s['sti_unsteered_mean']:.3f}"] if unsteered else [])
        rows.append(row)
    offsets = [0.0, 0.17, 0.28, 0.39, 0.47, 0.55, 0.62, 0.68, 0.78]
    page.table(header, rows, offsets[:len(header) + 1], size=8.5)
    note = ("Maximum level: wide-band SPL of the reference signal at the line's loudest point, at the levels the "
            "columns play at, and raised, all columns together, until the one with the least headroom clips"
            + (f" ({rep['headroom_at_targets_db']:+.1f} dB)." if rep.get("headroom_at_targets_db") is not None
               else "."))
    if room:
        note += (" STI of male speech at the targets, the columns' arrivals included"
                 + ("; unsteered: the same columns with every channel of a section alike, at the same places, "
                    "delays and gains, at the same mean level per octave band on the active audience." if unsteered
                    else "."))
    page.paragraph(note, size=8.5, width=170)


def _files_page(doc, rep: dict) -> None:
    page = Page(doc, "Processor files", _footer(rep))
    page.paragraph("Every column's files, in its folder; `talvek verify` checks them against this list and the "
                   "column's record.", size=9.5)
    rows = [[f["name"], str(f["bytes"]), f["sha256"]] for f in rep["files"]]
    page.table(["file", "bytes", "SHA-256"], rows, [0.0, 0.36, 0.43, 0.9], size=7.5 if len(rows) > 24 else 8.5,
               mono=(2,))


def write_system_pdf(path, rep: dict, figures: dict) -> Path:
    """report.pdf of a system: its summary page, the figures (pictures by name) a page each, the files."""
    doc = new_document()
    _summary_page(doc, rep)
    for name in SYSTEM_FIGURES:
        figure_page(doc, figures[name])
    _files_page(doc, rep)
    info = {"Title": f"System report: {rep['venue']}", "Creator": f"Talvek {rep.get('talvek_version', '')}"}
    return doc.write(path, info)


class SystemFiguresAndReport:
    """Draws a system's figures in ``formats`` (png, svg, pdf) on threads, then its report.pdf."""

    def __init__(self, formats=("png",)):
        self.formats = tuple(formats)

    def column(self) -> FiguresAndReport:
        return FiguresAndReport(self.formats)

    def names(self, prediction) -> list[str]:
        return [f"{n}.{fmt}" for n in SYSTEM_FIGURES for fmt in self.formats] + ["report.pdf"]

    def finish(self, folder: Path, rep: dict, venue, prediction) -> None:
        from .. import figures
        from ..figures.system import system_coverage_figure, system_levels_figure, system_timing_figure

        threads = figures.FigureThreads(self.formats)
        threads.submit("coverage", system_coverage_figure, folder / "coverage", venue, prediction)
        threads.submit("levels", system_levels_figure, folder / "levels", venue, prediction)
        threads.submit("timing", system_timing_figure, folder / "timing", venue, prediction, rep)
        write_system_pdf(folder / "report.pdf", rep, threads.finish())
