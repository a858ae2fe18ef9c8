"""Columns of the user's own: descriptions built into model archives that the
library loads and designs with, measured data brought onto the model's grids,
and refused descriptions."""

import hashlib
import json
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import numpy as np
import pytest
from hostpaths import EXAMPLES, LIBRARY, MODELS, REPO
from numpy.testing import assert_allclose
from scipy.special import j1

from talvek import cli
from talvek.api import SFIORecord
from talvek.columns import build_column
from talvek.columns import sofa as sofa_module
from talvek.models import model_info
from talvek.venue import VenueError

sys.path.insert(0, str(REPO / "tools"))
import make_example_sofa  # noqa: E402

needs_library = pytest.mark.skipif(LIBRARY is None, reason="libtalvek.so or the model archives not built")
COLUMNS = EXAMPLES / "columns"
BENCH = json.loads((COLUMNS / "bench_array.json").read_text())

# SHA-256 of the ten archives as the generator wrote them before it became a
# user of the column builder (Debian's numpy and scipy): the builder must not
# change a byte of them.
BUNDLED_SHA256 = {
    "Vexal16": "7a9254228040feb43f6fce6d911662d11d1fa327e688aacbe07cebdb0ed0af97",
    "Vexal24": "a2adff810a837bda188660715ed0905b53b9e5e73e9af4c7168826769bc8d49d",
    "Vexal32": "a0cd737a581cd75f6cf340f7f2317056f6e3e9cc5add855ef37d4d4936cbad69",
    "Vexal32LS": "9f1b269a17a067ac43f09d8b55a5766301a7a3020230d96924c4133d963ed7a7",
    "Vexal40": "02c07a9e7c0bfe78d710f90efb1228ab734b2a45ab82275f025680cf5445395a",
    "Vexal48": "00c11e58aa6a9197899938223b31c0e22ea14c948437ad59cb3cf7424fbf16ac",
    "Vexal56": "502324bd5372310ce71622496507823fa3a8ed13e4f6482b6bb6eae6e4e16a35",
    "Vexal64": "04dea18e5c88f35ed921e12141da9b805339e5e77d7e03c5b5bbc307821a8052",
    "Vexal8": "98696ccc7b31bcba225532749477d70f824aa0fbb8720970cbc56c19d02a52f5",
    "Vexal80": "7fcb4fd19e8fbacd2c357ee21f9ee14d9b944d140ef2022bd53eef90500ad563",
}


def test_bundled_archives_unchanged_through_the_builder(tmp_path):
    subprocess.run([sys.executable, str(REPO / "tools" / "make_models.py"), "--output-dir", str(tmp_path)],
                   check=True)
    digests = {p.stem: hashlib.sha256(p.read_bytes()).hexdigest() for p in tmp_path.glob("*.bin")}
    assert digests == BUNDLED_SHA256


def _document(folder, stem):
    with zipfile.ZipFile(Path(folder, f"{stem}.bin")) as archive:
        return json.loads(archive.read(f"{stem}.json"))


def _prototype(section):
    return np.array(section["H"]["re"])[:, :, 0] + 1j * np.array(section["H"]["im"])[:, :, 0]


@pytest.fixture(scope="module")
def own_models(tmp_path_factory):
    """A models folder with the bench column (piston), its measured twin (SOFA) and the two-way example."""
    if MODELS is None:
        pytest.skip("model archives not built")
    folder = tmp_path_factory.mktemp("own-models")
    source = tmp_path_factory.mktemp("descriptions")
    freq, elevation, data = make_example_sofa.piston_measurement(step=1.0, distance=2.0, count=200)
    make_example_sofa.write_sofa(source / "driver.sofa", freq, elevation, data, 2.0)
    for name in ("bench_array.json", "measured_array.json", "two_way.json"):
        shutil.copy(COLUMNS / name, source / name)
        build_column(source / name, folder, MODELS)
    return folder


def test_piston_archive_level_and_directivity(own_models):
    wf = _document(own_models, "Vexal88")["wf"]
    H, f = _prototype(wf), np.array(wf["f"])
    # On axis in the pass band, a full-scale sine at 14 V peak is 9.90 V RMS,
    # 24.5 W into 4 ohm: 86 dB + 10 log10(24.5) = 99.9 dB SPL at 1 m. The
    # driver's roll-offs add under 0.15 dB between 500 Hz and 1 kHz.
    band = (f > 500) & (f < 1000)
    level = 20 * np.log10(np.abs(H[band, 45]) / 20e-6)
    assert_allclose(level, 86 + 10 * np.log10((14 / np.sqrt(2)) ** 2 / 4), atol=0.15)
    # Off axis, relative to the axis: the baffled piston 2 J1(x)/x, x = k a sin(theta).
    theta = np.radians(wf["phi"])
    x = np.outer(2 * np.pi * f / 343.0 * 0.04, np.sin(theta))
    with np.errstate(invalid="ignore", divide="ignore"):
        expected = np.where(np.abs(x) > 1e-9, 2 * j1(x) / x, 1.0)
    assert_allclose(H / H[:, 45:46], expected, atol=2e-5)  # the archive keeps 6 significant digits
    assert wf["driverpos"] == pytest.approx(np.array(BENCH["sections"]["wf"]["positions"]) - 0.4)


def test_measured_data_brought_onto_the_grids(own_models):
    # The SOFA file holds the same piston 2 m away on a 1-degree, 200-frequency
    # grid, with its propagation delay: once referred to the acoustic centre at
    # 1 m and resampled, it must give the piston column's data. What is left is
    # linear interpolation of magnitude between samples (3 % apart in
    # frequency) across the side lobes and nulls off axis once ka > 3.8 (the
    # first null, above 5 kHz here): under 2 % of the on-axis pressure, -34 dB.
    piston = _prototype(_document(own_models, "Vexal88")["wf"])
    measured = _prototype(_document(own_models, "Vexal96")["wf"])
    error = np.abs(measured - piston).max(axis=1) / np.abs(piston).max(axis=1)
    f = np.array(_document(own_models, "Vexal88")["wf"]["f"])
    assert error[f < 4000].max() < 1e-3
    assert error.max() < 0.02


@needs_library
def test_own_columns_load_design_and_redesign(own_models, tmp_path, env_for_subprocess):
    # A process of its own: the session fixture's library holds other designs.
    def talvek(*args):
        return subprocess.run([sys.executable, "-m", "talvek", *map(str, args), "--models", str(own_models)],
                              capture_output=True, text=True, env=env_for_subprocess, timeout=300)

    listing = talvek("models")
    assert listing.returncode == 0, listing.stderr
    assert " 11  Bench array " in listing.stdout and "archive Vexal104.bin" in listing.stdout
    check = talvek("check", "--load")
    assert check.returncode == 0 and check.stdout.count("loads") == 13, check.stdout + check.stderr

    venue = tmp_path / "bench_room.json"
    venue.write_text(json.dumps({"model": "two-way bench array", "height": 1.5, "audience": [
        {"from": [2, 1.2], "to": [14, 1.2], "level": 80}]}))
    design = talvek("design", venue, "-o", tmp_path / "d", "--no-plots")
    assert design.returncode == 0, design.stderr
    assert json.loads((tmp_path / "d" / "report.json").read_text())["model"] == "Two-way bench array"
    record = SFIORecord.load(tmp_path / "d" / "bench_room.npz", own_models)
    assert (record.model.name, record.model.number, record.arraytype) == ("Two-way bench array", 13, 3)
    again = talvek("redesign", tmp_path / "d" / "bench_room.npz", "-o", tmp_path / "r", "--no-plots")
    assert again.returncode == 0, again.stderr
    for written in (tmp_path / "d").glob("bench_room_*"):
        assert (tmp_path / "r" / written.name).read_bytes() == written.read_bytes(), written.name

    # Without the folder that knows it, the record's model is not the bundled one of its array type.
    with pytest.raises(ValueError, match="'Two-way bench array', which is not installed"):
        SFIORecord.load(tmp_path / "d" / "bench_room.npz", MODELS).model
    assert model_info("Two-way bench array", own_models).archive == "Vexal104.bin"


def _write(folder, description, **files):
    folder.mkdir(parents=True, exist_ok=True)
    for name, writer in files.items():
        writer(folder / name.replace("_", "."))
    path = folder / "column.json"
    path.write_text(json.dumps(description, indent=1))
    return path


def _sofa(*, conventions="FreeFieldDirectivityTF", spoil=None, step=2.0, top=90.0):
    def write(path):
        freq, elevation, data = make_example_sofa.piston_measurement(step=step, count=60)
        keep = elevation <= top
        make_example_sofa.write_sofa(path, freq, elevation[keep], data[keep], 2.0, conventions=conventions)
        if spoil:
            import h5py

            with h5py.File(path, "a") as f:
                spoil(f)
    return write


def _with(change):
    d = json.loads(json.dumps(BENCH))
    change(d)
    return d


def _measured(kind, name="driver.sofa"):
    def change(d):
        d["sections"]["wf"].pop("piston")
        d["sections"]["wf"]["measured"] = {kind: name}
    return change


def _nan(f):
    f["Data.Imag"][0, 3, 5] = np.nan


def _flat(f):
    values = f["Data.Real"][0]
    del f["Data.Real"]
    f["Data.Real"] = values


def _csv_missing_angle(path):
    rows = ["frequency,angle,real,imag"]
    for fr in np.geomspace(40, 25000, 30):
        for a in range(-90, 91, 10):
            if not (fr > 1000 and a == 30):
                rows.append(f"{fr},{a},0.01,0")
    path.write_text("\n".join(rows) + "\n")


BAD = [
    ("unordered", _with(lambda d: d["sections"]["wf"]["positions"].__setitem__(3, 0.1)), {},
     r"column\.json:\d+: sections\.wf\.positions\[4\]: 0\.1 m is not above the driver before it"),
    ("overlap", _with(lambda d: d["sections"]["wf"]["positions"].__setitem__(1, 0.11)), {},
     r"sections\.wf\.positions\[2\]: drivers overlap: 0\.06 m from the one before, less than their diameter 0\.08"),
    ("counts", _with(lambda d: d["sections"]["wf"]["positions"].pop()), {},
     r"sections: 7 channels \(woofer\+tweeter\) fit no array type; these do: 8, 8\+8, 16\+8, 16\+16"),
    ("no crossover", _with(lambda d: d["sections"].__setitem__("tw", d["sections"]["wf"])), {},
     r"column\.json:\d+: sections\.tw: a two-way column needs a 'crossover' \(frequency and order\)"),
    ("bundled name", _with(lambda d: d.__setitem__("name", "vexal32")), {},
     r"name: 'vexal32' is the name of a bundled model"),
    ("number as name", _with(lambda d: d.__setitem__("name", " 12")), {}, r"name: ' 12' would read as a model number"),
    ("low number", _with(lambda d: d.__setitem__("number", 7)), {}, r"number: 7 is outside 11 to 999"),
    ("sofa convention", _with(_measured("sofa")), {"driver_sofa": _sofa(conventions="SimpleFreeFieldHRTF")},
     r"driver\.sofa: SOFAConventions: expected FreeFieldDirectivityTF, got 'SimpleFreeFieldHRTF'"),
    ("sofa dimensions", _with(_measured("sofa")), {"driver_sofa": _sofa(spoil=_flat)},
     r"driver\.sofa: Data\.Real: expected dimensions M x R x N, got 2 dimensions"),
    ("sofa NaN", _with(_measured("sofa")), {"driver_sofa": _sofa(spoil=_nan)},
     r"driver\.sofa: Data\.Imag: holds NaN or infinite values"),
    ("sofa half plane", _with(_measured("sofa")), {"driver_sofa": _sofa(top=40.0)},
     r"driver\.sofa: angles -90 to 40 degrees do not cover -90 to 90 degrees"),
    ("sofa missing", _with(_measured("sofa", "absent.sofa")), {},
     r"column\.json:\d+: sections\.wf\.measured\.sofa: no such file .*absent\.sofa"),
    ("csv angles", _with(_measured("csv", "driver.csv")), {"driver_csv": _csv_missing_angle},
     r"driver\.csv:\d+: angle: frequency 1\d{3}\.\d+ Hz lacks angle 30 degrees"),
]


@pytest.mark.parametrize("description, files, message", [b[1:] for b in BAD], ids=[b[0] for b in BAD])
def test_bad_descriptions_write_nothing(tmp_path, description, files, message):
    path = _write(tmp_path / "in", description, **files)
    out = tmp_path / "models"
    with pytest.raises(VenueError, match=message) as e:
        build_column(path, out, MODELS)
    assert "\n" not in str(e.value)
    assert not out.exists()


def test_sofa_size_limit_and_command_line_message(tmp_path, monkeypatch, capsys):
    path = _write(tmp_path / "in", _with(_measured("sofa")), driver_sofa=_sofa())
    monkeypatch.setattr(sofa_module, "MAX_VALUES", 1000)
    out = tmp_path / "models"
    status = cli.main(["model", "build", str(path), "-o", str(out), "--models", str(MODELS)])
    err = capsys.readouterr().err
    assert status == 1 and err.count("\n") == 1
    assert "driver.sofa: Data.Real: 1 x 91 x 60 values are beyond the limit of 1000" in err
    assert not out.exists()


def test_editor_offers_own_columns(own_models, tmp_path):
    pytest.importorskip("flask")
    from talvek.editor.server import create_app

    client = create_app(lambda: pytest.fail("no design may start"), tmp_path, preload=False,
                        models_dir=own_models).test_client()
    names = [m["name"] for m in client.get("/api/models").get_json()]
    assert names[10:] == ["Bench array", "Measured bench array", "Two-way bench array"]
    venue = {"model": "Bench array", "height": 1.5, "audience": [{"from": [2, 1.2], "to": [9, 1.2], "level": 80}]}
    answer = client.post("/api/venue", data=json.dumps({"text": json.dumps(venue)}), content_type="application/json")
    assert answer.status_code == 200 and answer.get_json()["venue"]["column_length"] == pytest.approx(0.8)


def test_csv_driver_matches_the_piston_and_names_clash(own_models, tmp_path):
    # The piston as a CSV (already referred to the acoustic centre at 1 m) on a
    # 2-degree grid and 120 frequencies from 40 Hz to 25 kHz, in another column
    # order: interpolation across frequency leaves under 3 % of the on-axis
    # pressure (off axis, across the side lobes above 5 kHz).
    freq, elevation, data = make_example_sofa.piston_measurement(step=2.0, distance=1.0, count=120)
    data = data * np.exp(1j * 2 * np.pi * freq / 343.0)[None, :]  # back to the acoustic centre
    rows = ["Angle,Frequency,Real,Imag"] + [f"{a},{f!r},{v.real!r},{v.imag!r}"
                                            for a, row in zip(elevation, data) for f, v in zip(freq, row)]
    (tmp_path / "driver.csv").write_text("\n".join(rows) + "\n")
    description = _with(_measured("csv", "driver.csv"))
    description.update(name="CSV bench array", number=20)
    folder = tmp_path / "models"
    build_column(_write(tmp_path, description), folder, MODELS)
    piston = _prototype(_document(own_models, "Vexal88")["wf"])
    measured = _prototype(_document(folder, "Vexal160")["wf"])
    error = np.abs(measured - piston).max(axis=1) / np.abs(piston).max(axis=1)
    assert error.max() < 0.03

    # The same name under another number is refused; the folder keeps its table.
    table = (folder / "columns.json").read_text()
    description.update(number=21)
    with pytest.raises(VenueError, match=r"already has a column 'CSV bench array', number 20"):
        build_column(_write(tmp_path, description), folder, MODELS)
    assert (folder / "columns.json").read_text() == table and not (folder / "Vexal168.bin").exists()


def test_unusable_folders_get_one_line(tmp_path, capsys):
    blocker = tmp_path / "file"
    blocker.write_text("")
    broken = tmp_path / "broken"
    broken.mkdir()
    (broken / "columns.json").write_text('{"columns": [{"name": "x"}]}')
    for argv, fragment in (
            (["model", "build", str(COLUMNS / "bench_array.json"), "-o", str(blocker / "models")], "cannot create"),
            (["model", "build", str(COLUMNS / "bench_array.json"), "-o", str(broken)], "columns.json: columns[1]"),
            (["models", "--models", str(broken)], "columns.json: columns[1]: not a column entry")):
        assert cli.main([*argv, "--models", str(MODELS)] if argv[0] == "model" else argv) == 1
        err = capsys.readouterr().err
        assert fragment in err and err.count("\n") == 1, err
    assert sorted(p.name for p in broken.iterdir()) == ["columns.json"]
