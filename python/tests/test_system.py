"""Several columns in one venue: the venue's columns, delays, the combined prediction, the system folder."""

import json
import math
import re
import subprocess

import numpy as np
import pytest
from hostpaths import EXAMPLES, needs_library
from PIL import Image

from talvek import analysis
from talvek.api import SFIORecord
from talvek.cli import main
from talvek.design.pipeline import design_venue
from talvek.design.system import design_system, system_voicing
from talvek.room.sti import MODULATION_HZ, arrivals_transfer, modulation_transfer
from talvek.system import PRECEDENCE_MS, column_delays, column_venue
from talvek.system.field import column_power
from talvek.system.prediction import arrivals_ms, system_points
from talvek.venue import AudienceLine, VenueError, parse_venue

C = 343.0  # m/s, the library's speed of sound
BANDS = ["250 Hz octave", "500 Hz octave", "1 kHz octave", "2 kHz octave", "4 kHz octave", "8 kHz octave"]


def system_text(columns, audience, **extra) -> str:
    return json.dumps({"columns": columns, "audience": audience, **extra}, indent=2)


def column(name, x, serves, **more):
    return {"name": name, "model": "Vexal16", "x": x, "height": 2.5, "serves": serves, **more}


def line(name, x0, x1, level=80, **more):
    return {"name": name, "from": [x0, 1.6], "to": [x1, 1.6], "level": level, **more}


FACING = system_text([column("West", 0, ["a"]), column("East", 40, ["b"], facing="-x")],
                     [line("a", 2, 19), line("middle", 19.5, 20.5, active=False), line("b", 38, 21)])


def local(placement, point):
    return ((point[0] - placement.x) * placement.sign, point[1])


def files_of(folder):
    return {p.name.rsplit("_", 1)[-1]: p.read_bytes() for p in sorted(folder.iterdir())
            if p.suffix in (".bef", ".bin")}


# ---------------------------------------------------------------- the venue file

BAD = [
    ({"model": "Vexal8"}, 48, "model: a venue with a columns list gives each column's model"),
    ({"columns": [column("A", 0, ["a"]), column("a", 10, ["b"])]}, 13, "columns[2].name: 'a' and columns[1] 'A' "
                                                                        "give the same output folder"),
    ({"columns": [column("A", 0, ["a", "b"]), column("B", 0, ["b"])]}, 16, "columns[2].x: columns[1] 'A' stands at "
                                                                           "the same place"),
    ({"columns": [column("A", 0, ["a"]), column("B", 30, ["b"])]}, 18, "columns[2].serves[1]: audience line 'b' "
                                                                       "(from [15.0, 1.6]) lies behind the column"),
    ({"columns": [column("A", 0, ["a"]), column("B", 10, ["c"])]}, 18, "no audience line is named 'c'"),
    ({"columns": [column("A", 0, ["a"])]}, 26, "audience[2]: active line 'b' is served by no column"),
    ({"audience": [line("a", 2, 15), line("a", 15, 28)]}, 36, "audience[2].name: 'a' is also the name of audience[1]"),
    ({"columns": [column("A", 0, ["a"], model="Vexal99"), column("B", 15, ["b"])]}, 5,
     "columns[1].model: unknown model 'Vexal99'"),
    ({"columns": [column("A", 0, ["a"], facing="up"), column("B", 10, ["b"])]}, 11,
     "columns[1].facing: expected \"+x\" or \"-x\", got \"up\""),
    ({"columns": [column("A", 0, ["a"], delay_ms=-1), column("B", 10, ["b"])]}, 11,
     "columns[1].delay_ms: -1 is outside 0 to 2000 ms"),
]


@pytest.mark.parametrize("change, line_no, message", BAD, ids=[b[2][:30] for b in BAD])
def test_bad_systems_are_refused_with_file_line_and_field(change, line_no, message):
    doc = {"columns": [column("A", 0, ["a"]), column("B", 15, ["b"])],
           "audience": [line("a", 2, 15), line("b", 15, 28)]}
    doc.update(change)
    with pytest.raises(VenueError) as e:
        parse_venue(json.dumps(doc, indent=2), "hall.json")
    assert str(e.value).startswith(f"hall.json:{line_no}: ") and message in str(e.value), str(e.value)


@needs_library
def test_a_bad_system_writes_nothing(tmp_path, capsys):
    venue = tmp_path / "bad.json"
    venue.write_text(system_text([column("A", 0, ["a"])], [line("a", 2, 15), line("b", 15, 28)]))
    assert main(["design", str(venue), "-o", str(tmp_path / "out")]) == 1
    assert "bad.json:" in capsys.readouterr().err and not (tmp_path / "out").exists()


def test_a_single_column_venue_is_one_column_at_the_origin():
    venue = parse_venue((EXAMPLES / "church_nave.json").read_text())
    (only,) = venue.columns
    assert not venue.is_system
    assert (only.name, only.x, only.facing, only.serves) == ("column", 0.0, "+x", ("nave pews", "chancel"))
    assert column_venue(venue, only).item_table().tolist() == venue.item_table().tolist()


# ---------------------------------------------------------------- delays and arrivals

def test_a_column_down_the_line_is_delayed_by_the_travel_time_plus_the_offset():
    venue = parse_venue(system_text([column("first", 0, ["a"]), column("second", 20, ["b"]),
                                     column("third", 35, ["c"], delay_ms=12.5)],
                                    [line("a", 2, 20), line("b", 20, 35), line("c", 35, 50)]))
    delays = column_delays(venue)
    assert delays[0] == 0.0 and delays[2] == 12.5  # given delays are kept
    assert delays[1] == pytest.approx(1000 * 20 / C + PRECEDENCE_MS, abs=1e-9)
    # Beyond the second column, on the line through both centres, its sound follows the first's by the offset.
    first, second = venue.columns[:2]
    centre_z = 2.5 + first.model.column_length / 2
    x = np.linspace(21, 60, 7)
    arrival = arrivals_ms([first, second], delays[:2], x, np.full(x.size, centre_z))
    np.testing.assert_allclose(arrival[1] - arrival[0], PRECEDENCE_MS, atol=1e-9)


def test_columns_facing_each_other_or_back_to_back_are_not_delayed():
    facing = parse_venue(FACING)
    back = parse_venue(system_text([column("L", 20, ["a"], facing="-x"), column("R", 20, ["b"])],
                                   [line("a", 18, 2), line("b", 22, 38)]))
    assert column_delays(facing) == [0.0, 0.0] and column_delays(back) == [0.0, 0.0]


def test_a_column_sees_its_own_lines_in_its_own_coordinates():
    venue = parse_venue(system_text([column("West", 0, ["a"]), column("East", 40, ["b"], facing="-x")],
                                    [line("a", 2, 19), line("gallery", 25, 35, active=False), line("b", 38, 21)],
                                    section={"x": [-2, 42], "z": [0, 8]}))
    west, east = (column_venue(venue, c) for c in venue.columns)
    # Another column's line is left out; an inactive line stays where the column can see it.
    assert [(a.name, a.active) for a in west.audience] == [("a", True), ("gallery", False)]
    assert [(a.name, a.active, a.start, a.end) for a in east.audience] == [
        ("gallery", False, (15.0, 1.6), (5.0, 1.6)), ("b", True, (2.0, 1.6), (19.0, 1.6))]
    assert east.section_x == (-2.0, 42.0) and west.section_x == (-2.0, 42.0)
    # Each column's record keeps a venue text that reads back as the same venue.
    again = parse_venue(east.text)
    assert again.item_table().tolist() == east.item_table().tolist() and again.model == east.model
    assert (again.height, again.tilt, again.section_x) == (east.height, east.tilt, east.section_x)


def test_system_voicing_takes_out_the_overlap_of_equal_columns():
    # Two columns equally loud at every point, each alone at the target: together 3.01 dB too loud,
    # which each takes out of its own half (closed form: 10 log10 2).
    class Column:
        level_db = 0.0

    venue = parse_venue(FACING)
    x, z, samples, _ = system_points(venue, (2, 2))
    points = sum(s[0].size for s in samples)
    freq = np.geomspace(200, 10000, 30)
    target = np.concatenate([a.target(s[2]) for a, s in zip(venue.audience, samples)])
    columns = [Column(), Column()]
    half = np.arange(points) < points // 2
    for c, louder in zip(columns, (half, ~half)):  # a hair louder on its own half, so that it owns it
        c.line_power = np.broadcast_to(10 ** (target / 10) * (20e-6) ** 2 * (1 + 1e-12 * louder), (freq.size, points))
    correction = system_voicing(venue, columns, freq, slice(0, None), samples)
    np.testing.assert_allclose(correction, -10 * math.log10(2), atol=1e-6)


@pytest.mark.parametrize("dt", [0.0, 0.013, 0.040])
def test_arrivals_at_one_time_are_the_single_source_transfer(dt):
    rng = np.random.default_rng(7)
    d, r, n = (rng.uniform(1e-6, 1e-3, (7, 5)) for _ in range(3))
    rt60 = np.linspace(2.2, 1.0, 7)
    single = modulation_transfer(d, r, n, rt60)
    # The same sound split between two sources arriving together, whenever that is.
    split = arrivals_transfer(np.stack([0.3 * d, 0.7 * d]), np.stack([0.5 * r, 0.5 * r]), n, rt60,
                              np.full((2, 5), dt))
    np.testing.assert_allclose(split, single, rtol=1e-12)


def test_arrivals_apart_lower_the_modulation_as_an_echo_does():
    # Two equal direct sounds dt apart, nothing else: m(F) = |1 + exp(-j 2 pi F dt)| / 2 = |cos(pi F dt)|.
    dt = 0.040
    d = np.full((2, 7, 1), 1e-4)
    m = arrivals_transfer(d, np.zeros_like(d), np.zeros((7, 1)), np.ones(7), np.array([[0.0], [dt]]))
    expected = np.abs(np.cos(np.pi * np.asarray(MODULATION_HZ) * dt))
    np.testing.assert_allclose(m[:, :, 0], np.broadcast_to(expected, (7, expected.size)), rtol=1e-12)


# ---------------------------------------------------------------- designs

@needs_library
def test_a_system_of_one_column_is_the_single_design(tv, church, tmp_path):
    single = parse_venue((EXAMPLES / "church_nave.json").read_text(), "church_nave.json", tv.models_dir)
    doc = json.loads(single.text)
    doc["columns"] = [{"name": "Nave", "model": doc.pop("model"), "x": 0, "height": doc.pop("height"),
                       "tilt": doc.pop("tilt"), "serves": ["nave pews", "chancel"]}]
    system = parse_venue(json.dumps(doc), "church_system.json", tv.models_dir)
    try:
        (tmp_path / "single").mkdir()
        (tmp_path / "system").mkdir()
        a = design_venue(tv, single, tmp_path / "single", "church", grid=(8, 4), designed="d")
        b = design_system(tv, system, tmp_path / "system", "church", grid=(8, 4), designed="d")
        # The unsteered column was measured last: the library holds the column's design again.
        held, stored = tv.record(), SFIORecord.load(next((tmp_path / "system" / "nave").glob("*.npz")))
        np.testing.assert_array_equal(held.wf, stored.wf)
        np.testing.assert_array_equal(held.tw, stored.tw)
    finally:
        church.restore()
    assert files_of(tmp_path / "single") == files_of(tmp_path / "system" / "nave")
    assert b["bands"] == a["bands"]
    # The STI, steered and unsteered, by the system's arrivals and the single design's own room path.
    keys = ("sti_mean", "sti_min", "sti_unsteered_mean", "sti_unsteered_min")
    assert [[s[k] for k in keys] for s in b["room"]["lines"]] == [[s[k] for k in keys] for s in a["room"]["lines"]]
    # All columns rising together is the one column rising alone.
    assert [s["max_spl_before_clipping_db"] for s in b["audience_lines"]] == \
        [s["max_spl_before_clipping_db"] for s in a["audience_lines"]]
    assert b["columns"][0]["delay_ms"] == 0.0 and b["columns"][0]["folder"] == "nave"


@needs_library
def test_a_column_facing_minus_x_is_the_mirror_of_one_facing_plus_x(tv, church, tmp_path):
    mirrored = parse_venue(system_text([column("Back", 30, ["a"], facing="-x")], [line("a", 28, 5, level=[80, 76])]))
    plain = parse_venue(json.dumps({"model": "Vexal16", "height": 2.5,
                                    "audience": [line("a", 2, 25, level=[80, 76])]}))
    try:
        for name in ("mirrored", "plain"):
            (tmp_path / name).mkdir()
        design_system(tv, mirrored, tmp_path / "mirrored", "m", grid=(4, 4), voicing=False)
        design_venue(tv, plain, tmp_path / "plain", "p", grid=(4, 4), voicing=False)
    finally:
        church.restore()
    assert files_of(tmp_path / "mirrored" / "back") == files_of(tmp_path / "plain")


@needs_library
def test_columns_far_apart_add_as_energies(tv, church, tmp_path):
    venue = parse_venue(FACING, "facing.json", tv.models_dir)
    try:
        rep = design_system(tv, venue, tmp_path, "f", grid=(4, 4), voicing=False)
        # Each column alone, by the single-column prediction at its level, at every point of every line.
        own, wide, left = [], [], []
        for placement, entry in zip(venue.columns, rep["columns"]):
            mine = column_venue(venue, placement)
            mine.audience = [AudienceLine(a.name, local(placement, a.start), local(placement, a.end), a.levels,
                                          a.active) for a in venue.audience]
            tv.redesign(SFIORecord.load(next((tmp_path / entry["folder"]).glob("*.npz"))))
            pred = analysis.predict(tv, mine, grid=(2, 2), section_headroom_db=False)
            own.append([lp.band_spl - pred.offset_db + entry["level_offset_db"] for lp in pred.lines])
            shift = entry["level_offset_db"] - pred.offset_db
            wide.append([lp.wide_spl + shift for lp in pred.lines])
            # What the column leaves at its level, from its own folder's report.
            own_report = json.loads((tmp_path / entry["folder"] / "report.json").read_text())
            left.append(own_report["headroom_db"] - entry["level_offset_db"])
    finally:
        church.restore()
    # Both columns rise together until the one with the least headroom clips: the power sum of
    # their wide-band levels plus that, at the line's loudest point.
    for k, entry in enumerate(rep["audience_lines"]):
        total = 10 * np.log10(10 ** (wide[0][k] / 10) + 10 ** (wide[1][k] / 10))
        assert entry["max_spl_before_clipping_db"] == pytest.approx(total.max() + min(left), abs=0.06)
    # The venue is its own mirror image: equal headroom, and halfway the maximum is either column's
    # level there plus its headroom plus 10 lg 2 = 3.01 dB.
    assert left[0] == pytest.approx(left[1], abs=0.02)
    middle_wide = wide[0][1]
    half = len(middle_wide) // 2
    assert middle_wide[half] == pytest.approx(wide[1][1][half], abs=0.02)
    assert rep["audience_lines"][1]["max_spl_before_clipping_db"] >= middle_wide[half] + left[0] + 3.01 - 0.06
    for k, entry in enumerate(rep["audience_lines"]):
        system = np.asarray(entry["band_spl_db"])
        west, east = own[0][k], own[1][k]
        np.testing.assert_allclose(system, 10 * np.log10(10 ** (west / 10) + 10 ** (east / 10)), atol=0.02)
        np.testing.assert_allclose(np.asarray(entry["column_band_spl_db"]), np.stack([west, east]), atol=0.02)
    # Halfway, where both arrive equally loud (the venue is its own mirror image), 3 dB above either.
    middle = rep["audience_lines"][1]
    k = len(middle["x"]) // 2
    assert middle["x"][k] == pytest.approx(20.0)
    levels = np.asarray(middle["column_band_spl_db"])[:, :, k]
    np.testing.assert_allclose(levels[0], levels[1], atol=0.02)
    np.testing.assert_allclose(np.asarray(middle["band_spl_db"])[:, k] - levels[0], 10 * math.log10(2), atol=0.02)


@needs_library
def test_a_system_folder_is_verified_designed_again_and_replaced_whole(church, tmp_path, capsys):
    venue = tmp_path / "facing.json"
    venue.write_text(FACING)
    out, again = tmp_path / "out", tmp_path / "again"
    try:
        for _ in range(2):  # the second design replaces the first folder, subfolders and all
            assert main(["design", str(venue), "-o", str(out), "--no-plots", "--no-voicing", "--grid", "4", "4"]) == 0
        assert main(["verify", str(out)]) == 0
        assert main(["redesign", str(out), "-o", str(again), "--no-plots", "--grid", "4", "4"]) == 0
        capsys.readouterr()
        assert files_of(out / "west") == files_of(again / "west")
        first, second = (json.loads((f / "report.json").read_text()) for f in (out, again))
        assert first["bands"] == second["bands"] and first["columns"] == second["columns"]
        box = next((out / "east").glob("*_box1.bef"))
        data = box.read_bytes()
        box.write_bytes(data[:-1] + bytes([data[-1] ^ 0xFF]))
        assert main(["verify", str(out)]) == 1
    finally:
        church.restore()
    err = capsys.readouterr().err
    assert f"east/{box.name}" in err and "SHA-256" in err


@needs_library
@pytest.mark.parametrize("band_hz, rear_db", [(250.0, (-1.0, 0.0)), (4000.0, (-40.0, -8.0))])
def test_behind_a_column_its_sound_falls_with_the_baffle_step(tv, church, band_hz, rear_db):
    # Below the baffle step (about 1 kHz for 4 cm woofers) the cabinet radiates backwards nearly as
    # much as forwards; well above it, by 6 dB per octave less. The point is about 64 degrees behind
    # the front plane, where the wave bent round the cabinet still adds about 2 dB at 4 kHz.
    venue = parse_venue(system_text([column("C", 10, ["a"])], [line("a", 12, 25)]))
    placement = venue.columns[0]
    own = column_venue(venue, placement)
    freq = tv.frequencies()
    first, last = analysis.analysed_range(freq)
    try:
        tv.select(own.model)
        tv.optimise(own.height, own.tilt, own.item_table())
        power = column_power(tv, own, placement, [15.0, 5.0], [1.6, 1.6], first, last)
    finally:
        church.restore()
    band = analysis.band_mask(freq[first - 1:last], band_hz)
    front, behind = 10 * np.log10(power[band].mean(axis=0))
    assert rear_db[0] < behind - front < rear_db[1]


@needs_library
def test_a_system_folder_has_its_figures_and_report_and_each_column_its_own(church, tmp_path, capsys):
    venue = tmp_path / "facing.json"
    venue.write_text(FACING)
    try:
        assert main(["design", str(venue), "-o", str(tmp_path / "out"), "--no-voicing", "--grid", "8", "4"]) == 0
    finally:
        church.restore()
    capsys.readouterr()
    out = tmp_path / "out"
    rep = json.loads((out / "report.json").read_text())
    assert rep["outputs"] == sorted(["coverage.png", "east", "levels.png", "report.json", "report.pdf",
                                     "timing.png", "west"])
    assert [(c["name"], c["folder"], c["delay_ms"]) for c in rep["columns"]] == [("West", "west", 0.0),
                                                                                 ("East", "east", 0.0)]
    assert Image.open(out / "levels.png").text["Panels"].split("; ") == BANDS
    for name in ("west", "east"):
        assert {"report.pdf", "coverage.png", "levels.png", "filters.png"} <= {p.name for p in (out / name).iterdir()}
    pages = subprocess.run(["pdfinfo", str(out / "report.pdf")], capture_output=True, text=True, check=True).stdout
    assert re.search(r"^Pages: +5$", pages, re.M)


@needs_library
def test_a_listener_crossing_a_columns_front_plane_hears_no_step(tv, church):
    # Just behind the plane the front field bends round the cabinet: the step across the plane is no
    # larger than the change over the next 10 cm in front, in every band (it was 12 dB at 4 kHz).
    venue = parse_venue(system_text([column("C", 10, ["a"])], [line("a", 12, 25)]))
    placement = venue.columns[0]
    own = column_venue(venue, placement)
    freq = tv.frequencies()
    first, last = analysis.analysed_range(freq)
    x = 10.0 + np.array([-0.05, 0.05, 0.15])
    try:
        tv.select(own.model)
        tv.optimise(own.height, own.tilt, own.item_table())
        power = column_power(tv, own, placement, x, np.full(3, 1.6), first, last)
    finally:
        church.restore()
    for band_hz in (250.0, 500.0, 1000.0, 2000.0, 4000.0, 8000.0):
        behind, front, further = 10 * np.log10(power[analysis.band_mask(freq[first - 1:last], band_hz)].mean(axis=0))
        assert abs(front - behind) <= abs(further - front) + 0.5, band_hz
