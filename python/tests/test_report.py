"""Figures and report.pdf, drawn from predictions of a known shape (no library needed)."""

import json
import shutil
import subprocess
import xml.etree.ElementTree as ET
from types import SimpleNamespace

import numpy as np
import pytest
from hostpaths import EXAMPLES
from PIL import Image

from talvek import analysis
from talvek.analysis import OCTAVE_BANDS, FilterResponses, LinePrediction, Prediction, band_mask
from talvek.figures import FigureThreads, save
from talvek.figures.coverage import coverage_figure
from talvek.figures.filters import filters_figure
from talvek.figures.intelligibility import intelligibility_figure, qualification
from talvek.figures.levels import levels_figure
from talvek.report import write_pdf
from talvek.venue import parse_venue

ROOM_BANDS = (125, 250, 500, 1000, 2000, 4000, 8000)


def venue_of(model: str):
    text = (EXAMPLES / "church_nave.json").read_text().replace('"Vexal32"', f'"{model}"')
    return parse_venue(text, f"church_{model}.json")


def prediction(venue, *, room: bool) -> Prediction:
    """Levels that wander a few dB around the targets, a map that falls off with distance."""
    freq = np.geomspace(180.0, 11000.0, 64)
    lines = []
    for k, a in enumerate(venue.audience):
        x, z, along = a.points(0.25)
        target = a.target(along)
        spl = target[None, :] + 2.0 * np.sin(freq[:, None] / 900.0 + along[None, :] / 3.0 + k)
        power = 10 ** (spl / 10)
        band = 10 * np.log10(np.stack([power[band_mask(freq, fc)].mean(axis=0) for fc in OCTAVE_BANDS]))
        lines.append(LinePrediction(a, x, z, along, target, spl, band, 10 * np.log10(power.mean(axis=0))))
    gx, gz = np.linspace(0.0, 36.0, 40), np.linspace(-1.0, 10.0, 20)
    distance = np.hypot(gx[None, :], gz[:, None] - venue.height) + 1.0
    coverage = np.stack([95.0 - 20 * np.log10(distance) - b for b in range(len(OCTAVE_BANDS))])
    pred = Prediction(freq, 7.5, 0.13, lines, gx, gz, coverage, section_headroom_db={"woofer": 6.8})
    if room:
        sti = [np.clip(0.75 - 0.01 * lp.along, 0, 1) for lp in lines]
        pred.room = SimpleNamespace(
            bands_hz=ROOM_BANDS,
            lines=[SimpleNamespace(sti=s, sti_unsteered=s - 0.12, direct_db=np.full((7, s.size), 70.0) - 3 * s,
                                   reflected_db=np.full((7, s.size), 68.0)) for s in sti],
            sti_map=np.clip(0.8 - distance / 60, 0, 1), sti_map_unsteered=np.clip(0.65 - distance / 60, 0, 1))
    return pred


def responses(two_way: bool) -> FilterResponses:
    # Pure delays of 1 to 3 ms: a magnitude of 0 dB and known group delays.
    freq = np.geomspace(20.0, 20000.0, 60)
    grid = np.concatenate([freq, freq - 0.5, freq + 0.5])
    delays = np.array([[1e-3], [2e-3], [3e-3]])
    woofer = np.exp(-2j * np.pi * grid[None, :] * delays)
    return FilterResponses(freq, (woofer, woofer[:2] if two_way else np.zeros((0, grid.size), complex)))


def report_of(venue, pred, room: bool) -> dict:
    rep = analysis.report(venue, pred)
    rep["limits"] = analysis.limit_notes(venue, pred, rep)
    rep.update(designed="2026-01-02 03:04:05 UTC", talvek_version="0.1.0", venue_sha256="ab" * 32,
               venue_source="church.json",
               files=[{"name": f"church_box{k}.bef", "bytes": 5080, "sha256": f"{k:064x}"} for k in (1, 2)])
    if room:
        rep["room"] = {"bands_hz": list(ROOM_BANDS), "rt60_s": [2.1, 2.0, 1.9, 1.8, 1.7, 1.5, 1.2],
                       "noise_db": [40.0, 36, 32, 28, 24, 20, 18], "lines": [
                           {"name": lp.line.name, "sti_mean": 0.61, "sti_min": 0.57, "share_sti_050": 1.0,
                            "sti_unsteered_mean": 0.49, "sti_unsteered_min": 0.45} for lp in pred.lines]}
    return rep


def pdf_text(path) -> str:
    return subprocess.run(["pdftotext", "-layout", str(path), "-"], capture_output=True, text=True,
                          check=True).stdout


@pytest.mark.skipif(shutil.which("pdftotext") is None, reason="poppler-utils not installed")
@pytest.mark.parametrize("model, room", [("Vexal8", False), ("Vexal8", True), ("Vexal32", False), ("Vexal32", True)])
def test_figures_and_report_for_one_and_two_way_columns_with_and_without_a_room(tmp_path, model, room):
    venue = venue_of(model)
    pred = prediction(venue, room=room)
    rep = report_of(venue, pred, room)
    two_way = venue.model.two_way
    drawing = FigureThreads(("png", "svg", "pdf"))
    drawing.submit("filters", filters_figure, tmp_path / "filters", responses(two_way),
                   title=f"{venue.name}: steering filters of {venue.model.name}")
    drawing.submit("coverage", coverage_figure, tmp_path / "coverage", venue, pred)
    drawing.submit("levels", levels_figure, tmp_path / "levels", venue, pred)
    if room:
        drawing.submit("intelligibility", intelligibility_figure, tmp_path / "intelligibility", venue, pred)
    figures = drawing.finish()

    sections = ["woofer section"] + (["tweeter section"] if two_way else [])
    assert Image.open(tmp_path / "filters.png").text["Panels"].split("; ") == (
        [f"{s}: magnitude ({n} channels)" for s, n in zip(sections, (3, 2))] + [f"{s}: group delay" for s in sections])
    for name in figures:
        root = ET.parse(tmp_path / f"{name}.svg").getroot()  # parses as XML
        assert root.tag.endswith("svg")
    svg = (tmp_path / "coverage.svg").read_text()
    assert "1 kHz octave" in svg and "level, dB SPL" in svg  # text kept as text

    write_pdf(tmp_path / "report.pdf", rep, venue, pred, figures=figures)
    text = pdf_text(tmp_path / "report.pdf")
    assert venue.name in text and model in text and rep["designed"] in text and rep["venue_sha256"] in text
    for band in rep["bands"]:
        assert f"{band['rms_db']:.2f} dB" in text and f"{band['worst_db']:+.2f} dB" in text
    for f in rep["files"]:
        assert f["sha256"] in text and f["name"] in text
    assert ("speech intelligibility" in text and "STI mean" in text) == room
    assert "dB SPL" in text and "→" in text  # the targets: a sign outside WinAnsi, set in Symbol, still reads as text
    # Reproducible: drawn afresh (as `talvek report` does) the document has the same bytes, and no date of its own.
    write_pdf(tmp_path / "again.pdf", rep, venue, pred, responses=responses(two_way))
    assert (tmp_path / "again.pdf").read_bytes() == (tmp_path / "report.pdf").read_bytes()
    assert b"CreationDate" not in (tmp_path / "report.pdf").read_bytes()


def test_svg_and_png_files_carry_no_date_and_repeat_byte_for_byte(tmp_path):
    venue = venue_of("Vexal32")
    for k in range(2):
        save(coverage_figure(venue, prediction(venue, room=False)), tmp_path / f"c{k}", ("png", "svg"))
    for fmt in ("png", "svg"):
        assert (tmp_path / f"c0.{fmt}").read_bytes() == (tmp_path / f"c1.{fmt}").read_bytes()
    assert b"<dc:date>" not in (tmp_path / "c0.svg").read_bytes()


# Qualification bands of IEC 60268-16 ed. 4, Annex F: lower edges 0.76 (A+), 0.72 (A), ... 0.36 (J).
@pytest.mark.parametrize("sti, letter", [(0.9, "A+"), (0.76, "A+"), (0.7599, "A"), (0.72, "A"), (0.70, "B"),
                                         (0.64, "C"), (0.6399, "D"), (0.50, "G"), (0.40, "I"), (0.36, "J"),
                                         (0.3599, "U"), (0.0, "U")])
def test_sti_qualification_band(sti, letter):
    assert qualification(sti) == letter


def test_report_json_rounding_is_what_the_pdf_prints(tmp_path):
    # A value that rounds differently at one and two decimals must appear as report.json has it.
    venue = venue_of("Vexal32")
    pred = prediction(venue, room=False)
    rep = report_of(venue, pred, False)
    rep["bands"][0]["rms_db"] = 1.25
    write_pdf(tmp_path / "r.pdf", json.loads(json.dumps(rep)), venue, pred, responses=responses(True))
    assert "1.25 dB" in pdf_text(tmp_path / "r.pdf")


def test_picture_is_the_png_and_the_pdf_image_byte_for_byte(tmp_path):
    # Pillow decodes the PNG on its own: the pixels must come back exactly, through
    # random pixels and the flat areas of a figure.
    from talvek.figures.picture import picture_of, write_png

    rng = np.random.default_rng(3)
    rgb = rng.integers(0, 256, size=(37, 53, 3), dtype=np.uint8)
    rgb[10:20] = (250, 3, 128)
    picture = picture_of(rgb)
    write_png(tmp_path / "p.png", picture, dpi=90, text={"Panels": "a; b", "Note": "−3 dB"})
    with Image.open(tmp_path / "p.png") as im:
        assert im.mode == "RGB" and np.array_equal(np.asarray(im), rgb)
        assert im.text == {"Panels": "a; b", "Note": "−3 dB"} and round(im.info["dpi"][0]) == 90
    # The PDF holds the same deflated rows (the report reuses the compression of the figure).
    venue = venue_of("Vexal8")
    pred = prediction(venue, room=False)
    rep = report_of(venue, pred, False)
    write_pdf(tmp_path / "r.pdf", rep, venue, pred, figures={"coverage": picture}, responses=responses(False))
    assert picture.data in (tmp_path / "r.pdf").read_bytes()


@pytest.mark.parametrize("room", [False, True])
def test_figures_drawn_by_processes_make_the_same_report_as_threads(tmp_path, monkeypatch, room):
    from talvek.report.drawing import FiguresAndReport
    from talvek.report.workers import FigureWorkers

    venue = venue_of("Vexal32")
    pred = prediction(venue, room=room)
    rep = report_of(venue, pred, room)
    monkeypatch.setattr(analysis, "filter_responses", lambda _: responses(True))  # no library: known responses
    outputs = {}
    for how in ("threads", "processes"):
        folder = tmp_path / how
        folder.mkdir()
        with FigureWorkers(("png",)) as workers:
            drawing = FiguresAndReport(("png",), workers if how == "processes" else None)
            drawing.begin(None, venue, folder)
            drawing.predicted(folder, venue, pred, rep, None)
            drawing.finish(folder, rep, venue, pred)
        outputs[how] = {p.name: p.read_bytes() for p in folder.iterdir()}
    assert set(outputs["processes"]) == {"coverage.png", "levels.png", "filters.png", "report.pdf"} | (
        {"intelligibility.png"} if room else set())
    assert outputs["processes"] == outputs["threads"]


def test_a_failure_in_a_drawing_process_reaches_the_caller(tmp_path):
    from talvek.report.workers import FigureWorkers

    with FigureWorkers(("png",)) as workers:
        workers.submit("ok", filters_figure, tmp_path / "ok", responses(False))
        workers.submit("x", filters_figure, tmp_path / "missing" / "x", responses(False))
        with pytest.raises(FileNotFoundError):
            workers.finish()
        assert (tmp_path / "ok.png").is_file()
        workers.submit("again", filters_figure, tmp_path / "again", responses(False))  # still serves
        assert set(workers.finish()) >= {"ok", "again"}


def test_a_drawing_process_that_dies_is_reported_not_waited_for(tmp_path):
    import os
    import signal
    import time

    from talvek.report.workers import FigureWorkers

    with FigureWorkers(("png",)) as workers:
        workers.submit("slow", time.sleep, None, 3)  # keeps one process busy, whichever takes it
        os.kill(workers._pid, signal.SIGKILL)
        with pytest.raises(RuntimeError, match="ended; not drawn: slow"):
            workers.finish()
        with pytest.raises(RuntimeError, match="have ended"):
            workers.submit("more", filters_figure, tmp_path / "more", responses(False))


KILLED_WITH_WORKERS = """
import os, signal, sys
from talvek.report.workers import FigureWorkers
workers = FigureWorkers(("png",))
print(workers._folder, flush=True)
os.kill(os.getpid(), signal.SIGKILL)
"""


def test_a_design_killed_while_its_drawing_processes_run_leaves_no_folder_of_theirs(env_for_subprocess):
    import os
    import time
    from pathlib import Path

    child = subprocess.run(["/usr/bin/python3", "-c", KILLED_WITH_WORKERS], capture_output=True, text=True,
                           env=env_for_subprocess, timeout=60)
    assert child.returncode == -9
    folder = Path(child.stdout.strip())
    deadline = time.monotonic() + 30  # the drawing processes see their pipes close and tidy up
    while folder.exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not folder.exists(), sorted(os.listdir(folder))
