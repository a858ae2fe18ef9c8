"""The `talvek` command line: subcommands on the examples, bad input, plots."""

import json
import subprocess

import numpy as np
import pytest
from hostpaths import EXAMPLES, REPO, needs_library
from PIL import Image
from scipy import signal

from talvek.analysis import FilterResponses
from talvek.api import model_info
from talvek.cli import main
from talvek.figures import FigureThreads
from talvek.figures.filters import filters_figure, group_delay
from talvek.preload import _design_arguments

BANDS = ["250 Hz octave", "500 Hz octave", "1 kHz octave", "2 kHz octave", "4 kHz octave", "8 kHz octave"]


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def panels(png):
    return Image.open(png).text["Panels"].split("; ")


# ---------------------------------------------------------------- without the library

def test_figures_drawn_on_threads_are_written_and_failures_reach_the_caller(tmp_path):
    # Three channels of a pure delay each, and a one-way column (no tweeter section).
    freq = np.geomspace(20.0, 20000.0, 40)
    grid = np.concatenate([freq, freq - 0.5, freq + 0.5])
    woofer = np.exp(-2j * np.pi * grid[None, :] * np.array([[1e-3], [2e-3], [3e-3]]))
    responses = FilterResponses(freq, (woofer, np.zeros((0, grid.size), complex)))
    figures = FigureThreads()
    for k in range(2):
        figures.submit(f"f{k}", filters_figure, tmp_path / f"{k}", responses, title="t")
    figures.finish()
    for k in range(2):
        assert panels(tmp_path / f"{k}.png") == ["woofer section: magnitude (3 channels)", "woofer section: group delay"]
    figures.submit("x", filters_figure, tmp_path / "missing" / "x", responses)
    with pytest.raises(FileNotFoundError):
        figures.finish()


def test_group_delay_matches_scipy():
    # Independent implementation: scipy differentiates the FIR's own sums.
    taps = np.random.default_rng(7).normal(size=64) * np.hanning(64)
    taps[20] += 4.0  # a dominant tap keeps the response away from zero
    fs = 96000.0
    freq = np.geomspace(50, 20000, 60)

    def response(f):
        return np.exp(-2j * np.pi * np.outer(f, np.arange(taps.size)) / fs) @ taps

    _, expected = signal.group_delay((taps, [1.0]), w=freq, fs=fs)
    # A central difference over 1 Hz errs by O(step^2 * d3phi/df3): about 1e-5 samples for
    # this filter, so 1e-4 samples (1 ns at 96 kHz) bounds it; a wrong sign or scale fails by far.
    np.testing.assert_allclose(group_delay(response, freq) * fs, expected, atol=1e-4)


# The parser's messages are held by the venue-schema tests; here the command
# line's contract: one line on stderr, nothing on stdout, a failing status.
@pytest.mark.parametrize("content, fragments", [
    ('{"model": "Vexal32",\n "height": 1.8,\n "audience": [\n  {"from": [3, 1.2], "to": [20, 1.2] "level": 80}]}',
     ["bad.json:4:", "not valid JSON"]),
    ('{\n "model": 4,\n "height": 1.8,\n "audience": [\n  {"from": [3, 1.2],\n   "to": [20], "level": 80}\n ]\n}',
     ["bad.json:6:", "audience[1].to", "[x, z]"]),
])
def test_bad_venue_files_give_one_line(capsys, tmp_path, content, fragments):
    venue = tmp_path / "bad.json"
    venue.write_text(content)
    code, out, err = run(capsys, "design", venue, "-o", tmp_path / "out")
    assert code != 0 and out == ""
    assert err.count("\n") == 1 and err.startswith("talvek: error: "), err
    for fragment in fragments:
        assert fragment in err, err


def test_missing_venue_file_and_bad_record(capsys, tmp_path):
    code, _, err = run(capsys, "design", tmp_path / "absent.json", "-o", tmp_path)
    assert code == 1 and err == f"talvek: error: {tmp_path / 'absent.json'}: no such venue file\n"
    (tmp_path / "junk.npz").write_bytes(b"junk")
    code, _, err = run(capsys, "redesign", tmp_path / "junk.npz", "-o", tmp_path)
    assert code == 1 and err.count("\n") == 1 and "not an SFIO record" in err


# ---------------------------------------------------------------- with the library

@needs_library
def test_unwritable_output_folder(capsys, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("")
    code, _, err = run(capsys, "design", EXAMPLES / "church_nave.json", "-o", blocker / "out")
    assert code == 1 and err.count("\n") == 1
    assert f"cannot write to output folder {blocker / 'out'}" in err


@needs_library
def test_out_of_sight_names_the_line(capsys, tmp_path):
    venue = json.loads((EXAMPLES / "lecture_hall_balcony.json").read_text())
    venue["audience"][2]["to"] = [-2.0, 8.0]
    path = tmp_path / "hall.json"
    path.write_text(json.dumps(venue, indent=1))
    code, _, err = run(capsys, "design", path, "-o", tmp_path / "out")
    assert code == 1 and err.count("\n") == 1
    assert "At least one VI is out of sight." in err and 'audience[3] "balcony"' in err and "'to' end" in err


@pytest.fixture(scope="module")
def designs(tmp_path_factory):
    """The examples of the tests below, designed once through the command line."""
    out = {}
    for venue in (EXAMPLES / f"{stem}.json" for stem in ("church_nave", "lecture_hall_balcony", "railway_platform")):
        folder = tmp_path_factory.mktemp(venue.stem)
        code = main(["design", str(venue), "-o", str(folder), "--grid", "40", "20"])
        out[venue.stem] = (code, folder)
    return out


@needs_library
@pytest.mark.parametrize("example, model", [
    ("church_nave", "Vexal32"), ("lecture_hall_balcony", "Vexal40"), ("railway_platform", "Vexal32LS")])
def test_design_writes_everything(designs, example, model):
    code, folder = designs[example]
    assert code == 0
    info = model_info(model)
    names = {p.name for p in folder.iterdir()}
    expected = {f"{example}_box{k}.bef" for k in range(1, len(info.boxes) + 1)}
    expected |= {f"{example}_SFR.bin", f"{example}.npz", "report.json", "report.pdf", "coverage.png", "levels.png",
                 "filters.png"}
    if "room" in json.loads((EXAMPLES / f"{example}.json").read_text()):
        expected.add("intelligibility.png")
    assert names == expected

    report = json.loads((folder / "report.json").read_text())
    venue = json.loads((EXAMPLES / f"{example}.json").read_text())
    assert report["model"] == model
    assert report["headroom_at_targets_db"] == pytest.approx(report["headroom_db"] - report["level_offset_db"],
                                                             abs=0.011)
    assert [line["name"] for line in report["audience_lines"]] == [a["name"] for a in venue["audience"]]
    for line in report["audience_lines"]:
        assert line["max_spl_before_clipping_db"] == pytest.approx(
            line["max_spl_at_targets_db"] + report["headroom_at_targets_db"], abs=0.11)
    assert [b["band_hz"] for b in report["bands"]] == [250, 500, 1000, 2000, 4000, 8000]
    assert all(np.isfinite([b["rms_db"], b["worst_db"]]).all() for b in report["bands"])

    assert panels(folder / "coverage.png") == BANDS
    assert panels(folder / "levels.png")[:-1] == BANDS + ["deviation from target"]
    assert panels(folder / "levels.png")[-1].startswith("voicing correction")
    assert report["voicing"]["passes"] >= 1
    assert [b["band_hz"] for b in report["voicing"]["correction"]] == [250, 500, 1000, 2000, 4000, 8000]
    sections = ["woofer section"] + (["tweeter section"] if info.two_way else [])
    channels = {"woofer section": info.woofer_channels, "tweeter section": info.tweeter_channels}
    assert panels(folder / "filters.png") == ([f"{s}: magnitude ({channels[s]} channels)" for s in sections]
                                              + [f"{s}: group delay" for s in sections])


@pytest.mark.parametrize("argv, venue", [
    (["design", "v.json", "-o", "out", "--grid", "40", "20", "--no-plots"], "v.json"),
    (["design", "-o", "out", "--models=/m", "v.json"], "v.json"),
    (["design", "--mod", "/m", "v.json", "-o", "out"], None),  # abbreviated: which option is it?
    (["design", "v.json", "w.json"], None),
    (["--library", "x", "design", "v.json"], None),
    (["redesign", "r.npz", "-o", "out"], None),
])
def test_the_head_start_reads_a_design_command_line_only_when_sure(argv, venue):
    found = _design_arguments(argv)
    assert (found and found["venue"]) == venue
    if argv[1:3] == ["-o", "out"]:
        assert found["--models"] == "/m" and found["--library"] is None


@needs_library
def test_a_command_of_its_own_designs_the_same_and_fails_the_same(designs, env_for_subprocess, tmp_path, capsys):
    # Started as a command, `talvek design` loads the venue's model on a second
    # thread while it imports: it must be the model the design then uses, and
    # a venue read from a pipe must reach the design whole.
    _, first = designs["lecture_hall_balcony"]
    venue = EXAMPLES / "lecture_hall_balcony.json"

    def command(venue, folder, *more, text=None):
        return subprocess.run([str(REPO / "bin" / "talvek"), "design", str(venue), "-o", str(folder), "--grid", "40",
                               "20", "--no-plots", *more], input=text, capture_output=True, text=True,
                              env=env_for_subprocess, timeout=120)

    result = command("/dev/stdin", tmp_path / "again", "--name", venue.stem, text=venue.read_text())
    assert result.returncode == 0, result.stderr
    for written in first.glob("lecture_hall_balcony_*"):
        assert (tmp_path / "again" / written.name).read_bytes() == written.read_bytes(), written.name
    bad = tmp_path / "bad.json"
    bad.write_text(venue.read_text().replace('"Vexal40"', '"Vexal99"'))
    result = command(bad, tmp_path / "bad")
    assert (result.returncode, result.stderr) == run(capsys, "design", bad, "-o", tmp_path / "bad")[::2]


# What a design imports, seen from inside its own process (the head start and the command line as bin/talvek runs them).
IMPORTS = """
import sys
sys.argv = ["talvek", *sys.argv[1:]]
from talvek.__main__ import run
code = run()
print("drawn here:", sorted(m for m in ("matplotlib", "reportlab") if m in sys.modules))
sys.exit(code)
"""


@needs_library
@pytest.mark.parametrize("plots", [False, True])
def test_matplotlib_is_never_imported_by_the_design_process(env_for_subprocess, tmp_path, plots):
    # --no-plots must not pay for matplotlib nor the PDF writer; with plots matplotlib is imported
    # by the drawing processes only, and this one writes report.pdf.
    venue = EXAMPLES / "church_nave.json"
    result = subprocess.run(["/usr/bin/python3", "-c", IMPORTS, "design", str(venue), "-o", str(tmp_path / "d"),
                             "--grid", "40", "20"] + ([] if plots else ["--no-plots"]), capture_output=True,
                            text=True, env=env_for_subprocess, timeout=120)
    assert result.returncode == 0, result.stderr
    assert f"drawn here: {['reportlab'] if plots else []}" in result.stdout
    assert (tmp_path / "d" / "report.pdf").is_file() == plots


@needs_library
def test_redesign_reproduces_the_processor_files(designs, env_for_subprocess, tmp_path):
    # A process of its own: the library refuses a record of one model while it
    # holds a design of another, and the fixture designed other models since.
    _, first = designs["church_nave"]
    result = subprocess.run([str(REPO / "bin" / "talvek"), "redesign", str(first / "church_nave.npz"), "-o",
                             str(tmp_path), "--no-plots"], capture_output=True, text=True, env=env_for_subprocess,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    for written in first.glob("church_nave_*"):
        assert (tmp_path / written.name).read_bytes() == written.read_bytes(), written.name
    # The stored record is the voiced one: the same design, the same report less how it was voiced.
    designed = json.loads((first / "report.json").read_text())
    again = json.loads((tmp_path / "report.json").read_text())
    for key in ("voicing", "designed", "outputs", "grid"):  # how it was voiced, when, and the figures drawn
        designed.pop(key)
        again.pop(key, None)
    assert again == designed


def test_a_system_design_labels_its_progress_bar_with_the_column():
    import io

    from talvek.cli import Progress

    class Terminal(io.StringIO):
        def isatty(self):
            return True

    stream = Terminal()
    progress = Progress("predicting levels", stream)
    progress(0, 0, column=(1, 2, "Main"), stage="optimising")
    progress(0, 0, column=(2, 2, "Delay"), stage="optimising")
    progress(900, 900, column=(1, 2, "Delay"))
    progress(0, 500, column=(2, 2, "Main"))
    progress.close()
    shown = stream.getvalue()
    for label in ("column 1 of 2 (Main): optimising", "column 2 of 2 (Delay): optimising",
                  "column 1 of 2 (Delay): predicting levels", "column 2 of 2 (Main): predicting levels"):
        assert label in shown, shown
    assert "0it" not in shown  # a stage without a count shows its label alone
    # A single design's bar keeps its one label.
    stream = Terminal()
    progress = Progress("predicting levels", stream)
    progress(10, 100)
    progress.close()
    assert "predicting levels" in stream.getvalue() and "column" not in stream.getvalue()
