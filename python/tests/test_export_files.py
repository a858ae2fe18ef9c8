"""The exported files as the engines read them, and what an export refuses.

BruteFIR itself runs the exported configuration offline on an impulse; the
CamillaDSP configuration is parsed with PyYAML and checked against the keys
CamillaDSP's documentation gives (the engine is not packaged for Debian).
"""

import json
import os
import re
import shutil
import subprocess
from types import SimpleNamespace

import numpy as np
import pytest
import soundfile
import yaml
from hostpaths import MODELS, needs_library

from talvek import cli
from talvek.export import ExportError, brutefir, camilladsp, export_design
from test_export_field import designs  # noqa: F401  (the own column exported for BruteFIR)

pytestmark = needs_library


@pytest.fixture(scope="module")
def exports(tv, church, tmp_path_factory):
    root = tmp_path_factory.mktemp("files")
    tv.select("Vexal32")
    record = tv.optimise(3.0, -2.0, [[2.5, 26.0, 1.2, 1.2, 78.0, 76.0, 1.0]])
    record.save(root / "design.npz")
    try:
        folders = {e: export_design(tv, record, e, root / e) for e in ("brutefir", "camilladsp", "wav")}
    finally:
        church.restore()
    return SimpleNamespace(record=root / "design.npz", **folders)


def coefficients(folder):
    names = [c["name"] for c in json.loads((folder / "export.json").read_text())["channels"]]
    return names, np.stack([np.fromfile(folder / f"{n}.f64", dtype="<f8") for n in names])


@pytest.mark.parametrize("which", ["Vexal32", "own column"])
def test_brutefir_runs_the_configuration_and_gives_each_channels_impulse_response(which, request, tmp_path):
    assert shutil.which("brutefir"), "brutefir is not installed (scripts/setup.sh installs it)"
    exported = (request.getfixturevalue("exports").brutefir if which == "Vexal32"
                else request.getfixturevalue("designs")["Bench array"].folder)
    work = tmp_path / "run"
    shutil.copytree(exported, work)
    names, ir = coefficients(work)
    impulse = np.zeros(ir.shape[1] + 3 * brutefir.PARTITION)
    impulse[0] = 1.0
    impulse.astype("<f8").tofile(work / brutefir.INPUT)
    (tmp_path / "home").mkdir()  # BruteFIR writes its default configuration into HOME
    run = subprocess.run(["brutefir", brutefir.CONFIG], cwd=work, env={**os.environ, "HOME": str(tmp_path / "home")},
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and "64 bit floating point" in run.stderr, run.stderr
    out = np.fromfile(work / brutefir.OUTPUT, dtype="<f8").reshape(-1, len(names)).T
    # The engine's delay is a whole number of partitions (none for file input).
    onset = [int(np.argmax(np.abs(s) > 0.5 * np.abs(ir[0]).max())) for s in (out[0], ir[0])]
    delay = onset[0] - onset[1]
    assert delay % brutefir.PARTITION == 0
    error = np.abs(out[:, delay:delay + ir.shape[1]] - ir).max(axis=1) / np.abs(ir).max(axis=1)
    assert error.max() < 1e-6


def test_camilladsp_configuration_has_the_documented_shape(exports):
    config = yaml.safe_load((exports.camilladsp / camilladsp.CONFIG).read_text())
    names, ir = coefficients(exports.camilladsp)
    n = len(names)
    # Keys and sample formats as CamillaDSP's configuration reference lists them.
    formats = {"S16_LE", "S24_3_LE", "S24_4_RJ_LE", "S24_4_LJ_LE", "S32_LE", "F32_LE", "F64_LE"}
    assert set(config) <= {"title", "description", "devices", "mixers", "filters", "processors", "pipeline"}
    devices = config["devices"]
    assert devices["samplerate"] == 96000 and devices["chunksize"] > 0
    for side, channels in (("capture", 1), ("playback", n)):
        assert set(devices[side]) <= {"type", "channels", "device", "filename", "format", "labels"}
        assert devices[side]["channels"] == channels and devices[side]["format"] in formats

    first, *steps = config["pipeline"]
    mixer = config["mixers"][first["name"]]
    assert first["type"] == "Mixer" and mixer["channels"] == {"in": 1, "out": n}
    assert sorted(m["dest"] for m in mixer["mapping"]) == list(range(n))
    assert all(m["sources"] == [{"channel": 0, "gain": 0, "inverted": False}] for m in mixer["mapping"])
    covered = []
    for step in steps:
        (channel,), (name,) = step["channels"], step["names"]
        conv = config["filters"][name]
        assert step["type"] == "Filter" and conv["type"] == "Conv"
        assert conv["parameters"] == {"type": "Raw", "filename": f"{names[channel]}.f64", "format": "F64_LE"}
        np.testing.assert_array_equal(np.fromfile(exports.camilladsp / conv["parameters"]["filename"]), ir[channel])
        covered.append(channel)
    assert sorted(covered) == list(range(n))


def test_wav_files_hold_the_impulse_responses_in_float(exports):
    names, ir = coefficients(exports.brutefir)
    for name, h in zip(names, ir):
        data, rate = soundfile.read(exports.wav / f"{name}.wav", dtype="float64")
        assert rate == 96000 and soundfile.info(exports.wav / f"{name}.wav").subtype == "FLOAT"
        np.testing.assert_allclose(data, h, rtol=0, atol=2 ** -24 * np.abs(h).max())


def test_the_folder_is_written_whole_or_not_at_all(exports, tv, church, tmp_path, monkeypatch):
    from talvek import export
    from talvek.api import SFIORecord

    record = SFIORecord.load(exports.record)
    foreign = tmp_path / "notes"
    foreign.mkdir()
    (foreign / "mine.txt").write_text("keep")
    with pytest.raises(ExportError, match="holds files of something else"):
        export_design(tv, record, "wav", foreign)

    def half_then_fail(folder, chains):
        (folder / "wf01.f64").write_bytes(b"\0" * 8)
        raise OSError(28, "No space left on device")

    again = tmp_path / "again"
    shutil.copytree(exports.wav, again)
    try:
        with monkeypatch.context() as m:
            m.setitem(export.ENGINES, "wav", half_then_fail)
            with pytest.raises(ExportError, match="No space left"):
                export_design(tv, record, "wav", tmp_path / "new")
        export_design(tv, record, "brutefir", again)  # an earlier export is replaced
    finally:
        church.restore()
    assert [p.name for p in foreign.iterdir()] == ["mine.txt"]
    assert sorted(p.name for p in again.iterdir()) == sorted(p.name for p in exports.brutefir.iterdir())
    assert sorted(p.name for p in tmp_path.iterdir()) == ["again", "notes"]  # no staging folders left


@pytest.mark.parametrize("case, message", [
    ("model not installed", r"model Vexal32 is not installed: \S*Vexal32.bin does not exist$"),
    ("output under a file", r"cannot write to output folder \S+: \S+ is not a folder$"),
])
def test_the_command_line_says_what_is_wrong_in_one_line(exports, case, message, tmp_path, capsys, monkeypatch):
    models, output = MODELS, tmp_path / "out"
    if case == "model not installed":
        # Every archive but the record's; the start-up check, which wants all of them, is left out.
        models = tmp_path / "models"
        models.mkdir()
        for archive in MODELS.glob("*.bin"):
            if archive.name != "Vexal32.bin":
                (models / archive.name).symlink_to(archive)
        monkeypatch.setattr(cli, "_session", lambda args: cli.Talvek(args.library, args.models, check=False))
    else:
        (tmp_path / "file").write_text("")
        output = tmp_path / "file" / "out"
    before = sorted(tmp_path.rglob("*"))
    status = cli.main(["--models", str(models), "export", str(exports.record), "--for", "wav", "-o", str(output)])
    err = capsys.readouterr().err
    assert status == 1 and err.count("\n") == 1, err
    assert re.search(message, err.strip()), err
    assert sorted(tmp_path.rglob("*")) == before
