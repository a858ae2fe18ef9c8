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
import types

import numpy as np
import pytest
import soundfile
import yaml
from export_designs import VENUES
from hostpaths import MODELS, needs_library

from talvek import cli
from talvek.export import ExportError, brutefir, camilladsp, export_design

pytestmark = needs_library
MODEL = "Vexal32"


@pytest.fixture(scope="module")
def exports(tv, church, tmp_path_factory):
    root = tmp_path_factory.mktemp("files")
    height, tilt, items = VENUES[MODEL]
    tv.select(MODEL)
    record = tv.optimise(height, tilt, items)
    record.save(root / "design.npz")
    try:
        folders = {e: export_design(tv, record, e, root / e) for e in ("brutefir", "camilladsp", "wav")}
    finally:
        church.restore()
    return types.SimpleNamespace(root=root, record=root / "design.npz", **folders)


def coefficients(folder):
    manifest = json.loads((folder / "export.json").read_text())
    names = [c["name"] for c in manifest["channels"]]
    return names, np.stack([np.fromfile(folder / f"{n}.f64", dtype="<f8") for n in names])


def test_brutefir_runs_the_configuration_and_gives_each_channels_impulse_response(exports, tmp_path):
    assert shutil.which("brutefir"), "brutefir is not installed (scripts/setup.sh installs it)"
    work = tmp_path / "run"
    shutil.copytree(exports.brutefir, work)
    names, ir = coefficients(work)
    impulse = np.zeros(ir.shape[1] + 3 * brutefir.PARTITION)
    impulse[0] = 1.0
    impulse.astype("<f8").tofile(work / brutefir.INPUT)
    home = tmp_path / "home"  # BruteFIR writes its default configuration into HOME
    home.mkdir()
    run = subprocess.run(["brutefir", brutefir.CONFIG], cwd=work, env={**os.environ, "HOME": str(home)},
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert "64 bit floating point" in run.stderr
    out = np.fromfile(work / brutefir.OUTPUT, dtype="<f8").reshape(-1, len(names)).T
    # The engine's delay is a whole number of partitions (none for file input).
    delay = int(np.argmax(np.abs(out[0]) > 0.5 * np.abs(ir[0]).max())) - int(np.argmax(np.abs(ir[0]) > 0.5 * np.abs(ir[0]).max()))
    assert delay % brutefir.PARTITION == 0
    got = out[:, delay:delay + ir.shape[1]]
    error = np.abs(got - ir).max(axis=1) / np.abs(ir).max(axis=1)
    assert error.max() < 1e-6


# Keys CamillaDSP's configuration reference documents for what the export writes.
DEVICE_KEYS = {"samplerate", "chunksize", "queuelimit", "silence_threshold", "silence_timeout_s", "target_level",
               "adjust_interval_s", "enable_rate_adjust", "resampler", "capture_samplerate",
               "stop_on_rate_change", "rate_measure_interval_s", "volume_ramp_time_ms", "volume_limit",
               "multithreaded", "worker_threads", "capture", "playback"}
IO_KEYS = {"type", "channels", "device", "filename", "format", "labels", "extra_samples"}
SAMPLE_FORMATS = {"S16_LE", "S24_3_LE", "S24_4_RJ_LE", "S24_4_LJ_LE", "S32_LE", "F32_LE", "F64_LE"}


def test_camilladsp_configuration_has_the_documented_shape(exports):
    text = (exports.camilladsp / camilladsp.CONFIG).read_text()
    config = yaml.safe_load(text)
    names, ir = coefficients(exports.camilladsp)
    n = len(names)
    assert set(config) <= {"title", "description", "devices", "mixers", "filters", "processors", "pipeline"}
    devices = config["devices"]
    assert set(devices) <= DEVICE_KEYS and devices["samplerate"] == 96000 and devices["chunksize"] > 0
    for side, channels in (("capture", 1), ("playback", n)):
        assert set(devices[side]) <= IO_KEYS
        assert devices[side]["channels"] == channels and devices[side]["format"] in SAMPLE_FORMATS

    (step, *filter_steps) = config["pipeline"]
    mixer = config["mixers"][step["name"]]
    assert step["type"] == "Mixer" and mixer["channels"] == {"in": 1, "out": n}
    assert sorted(m["dest"] for m in mixer["mapping"]) == list(range(n))
    assert all(m["sources"] == [{"channel": 0, "gain": 0, "inverted": False}] for m in mixer["mapping"])

    covered = []
    for step in filter_steps:
        assert step["type"] == "Filter" and set(step) <= {"type", "channels", "names", "description", "bypassed"}
        (channel,), (name,) = step["channels"], step["names"]
        spec = config["filters"][name]
        assert spec["type"] == "Conv" and set(spec["parameters"]) <= {"type", "filename", "format",
                                                                       "skip_bytes_lines", "read_bytes_lines"}
        assert spec["parameters"]["type"] == "Raw" and spec["parameters"]["format"] == "F64_LE"
        coeffs = np.fromfile(exports.camilladsp / spec["parameters"]["filename"], dtype="<f8")
        np.testing.assert_array_equal(coeffs, ir[channel])
        covered.append(channel)
    assert sorted(covered) == list(range(n))


def test_wav_files_hold_the_impulse_responses_in_float(exports):
    names, ir = coefficients(exports.brutefir)
    for name, h in zip(names, ir):
        data, rate = soundfile.read(exports.wav / f"{name}.wav", dtype="float64")
        assert rate == 96000 and soundfile.info(exports.wav / f"{name}.wav").subtype == "FLOAT"
        np.testing.assert_allclose(data, h, rtol=0, atol=2 ** -24 * np.abs(h).max())


def test_an_export_replaces_an_earlier_one_but_not_foreign_files(exports, tv, church, tmp_path):
    foreign = tmp_path / "notes"
    foreign.mkdir()
    (foreign / "mine.txt").write_text("keep")
    from talvek.api import SFIORecord

    record = SFIORecord.load(exports.record)
    with pytest.raises(ExportError, match="holds files of something else"):
        export_design(types.SimpleNamespace(models_dir=tv.models_dir), record, "wav", foreign)
    assert [p.name for p in foreign.iterdir()] == ["mine.txt"]

    again = tmp_path / "again"
    shutil.copytree(exports.wav, again)
    (again / "stale.wav").write_bytes(b"")
    try:
        export_design(tv, record, "brutefir", again)
    finally:
        church.restore()
    assert not (again / "stale.wav").exists() and (again / brutefir.CONFIG).is_file()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["again", "notes"]  # no staging folders left


def test_a_failed_write_leaves_nothing(exports, tv, church, tmp_path, monkeypatch):
    from talvek import export
    from talvek.api import SFIORecord

    def half_then_fail(folder, chains):
        (folder / "wf01.f64").write_bytes(b"\0" * 8)
        raise OSError(28, "No space left on device")

    monkeypatch.setitem(export.ENGINES, "wav", half_then_fail)
    try:
        with pytest.raises(ExportError, match="No space left"):
            export_design(tv, SFIORecord.load(exports.record), "wav", tmp_path / "out")
    finally:
        church.restore()
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("case, message", [
    ("model not installed", "model Vexal32 is not installed: .*Vexal32.bin does not exist"),
    ("output under a file", "cannot write to output folder"),
    ("not a record", "not an SFIO record"),
])
def test_the_command_line_says_what_is_wrong_in_one_line_and_writes_nothing(exports, case, message, tmp_path,
                                                                            capsys, monkeypatch):
    models = tmp_path / "models"
    models.mkdir()
    record, output = exports.record, tmp_path / "out"
    if case == "model not installed":
        # Every archive but the record's: the start-up check is then left out, as it would fail first.
        for archive in MODELS.glob("*.bin"):
            if archive.name != "Vexal32.bin":
                (models / archive.name).symlink_to(archive)
        monkeypatch.setattr(cli, "_session", lambda args: cli.Talvek(args.library, args.models, check=False))
    else:
        models = MODELS
        if case == "output under a file":
            (tmp_path / "file").write_text("")
            output = tmp_path / "file" / "out"
        else:
            record = tmp_path / "design.npz"
            record.write_text("not a zip")
    before = sorted(p.name for p in tmp_path.iterdir())
    status = cli.main(["--models", str(models), "export", str(record), "--for", "wav", "-o", str(output)])
    err = capsys.readouterr().err
    assert status == 1 and err.count("\n") == 1
    assert re.search(message, err), err
    assert sorted(p.name for p in tmp_path.iterdir()) == before
