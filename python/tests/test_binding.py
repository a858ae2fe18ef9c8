"""The ctypes binding and the numpy API against the built library."""

import ctypes
import math
import re
import shutil
import subprocess

import numpy as np
import pytest
from hostpaths import EXAMPLES, REPO, needs_library

from talvek.api import SFIORecord
from talvek.binding import EXPORTS, SFIO, SFIOChannelSet, SFResponseRequest, TalvekError
from talvek.venue import load_venue

HEADER = REPO / "include" / "talvek.h"


# ---------------------------------------------------------------- declarations

def test_every_export_of_the_header_is_declared_with_its_arity():
    text = HEADER.read_text()
    prototypes = dict(re.findall(r"TALVEK_EXPORT\s+\w+\s+(Talvek_\w+)\(([^)]*)\)", text))
    assert set(prototypes) == set(EXPORTS)
    for name, params in prototypes.items():
        arity = 0 if params.strip() in ("", "void") else params.count(",") + 1
        assert len(EXPORTS[name][1]) == arity, name


@pytest.mark.skipif(shutil.which("cc") is None, reason="no C compiler")
def test_record_layouts_match_the_c_compiler(tmp_path):
    # The compiler's view of talvek.h is the independent reference for ctypes.
    fields = {"SFIOChannelSet": SFIOChannelSet, "SFIO": SFIO, "SFResponseRequest": SFResponseRequest}
    lines = []
    for struct, cls in fields.items():
        lines.append(f'printf("{struct} %zu\\n", sizeof({struct}));')
        for name, _ in cls._fields_:
            lines.append(f'printf("{struct}.{name} %zu\\n", offsetof({struct}, {name}));')
    source = tmp_path / "layout.c"
    source.write_text('#include <stddef.h>\n#include <stdio.h>\n#include "talvek.h"\nint main(void) {\n'
                      + "\n".join(lines) + "\nreturn 0;\n}\n")
    exe = tmp_path / "layout"
    subprocess.run(["cc", "-I", str(HEADER.parent), str(source), "-o", str(exe)], check=True)
    expected = dict(line.split() for line in subprocess.run([str(exe)], capture_output=True, text=True,
                                                             check=True).stdout.splitlines())
    for struct, cls in fields.items():
        assert ctypes.sizeof(cls) == int(expected[struct])
        for name, _ in cls._fields_:
            assert getattr(cls, name).offset == int(expected[f"{struct}.{name}"]), f"{struct}.{name}"


# ---------------------------------------------------------------- the exports

@needs_library
def test_frequency_grid(tv):
    f = tv.frequencies()
    assert f.shape == (215,) and f[0] == 50.0 and f[-1] == 24000.0
    np.testing.assert_allclose(np.diff(np.log(f)), math.log(480) / 214, rtol=1e-12)
    before = tv.lib.error_text()
    with pytest.raises(ValueError, match="215"):
        tv.lib.get_frequencies(214, (ctypes.c_double * 214)())
    assert tv.lib.error_text() == before  # a short array is not a library failure


@needs_library
def test_error_text_round_trip(church):
    tv = church.tv
    with pytest.raises(TalvekError) as failure:
        tv.lib.setup_speaker(0)  # Vexal0 has no archive
    err = failure.value
    assert (err.export, err.status, err.text) == ("Talvek_Setup_Speaker", -1, "Unable to open zip file data.")
    # A success leaves the text; the raw export copies at most `size` bytes.
    tv.frequencies()
    assert tv.lib.error_text() == err.text
    buffer = ctypes.create_string_buffer(b"#" * 8)
    assert tv.lib.function("Talvek_Get_Error")(buffer, 5) == len(err.text)
    assert buffer.raw[:8] == b"Unabl###"
    with pytest.raises(TalvekError, match="Vexal0|no model|Unable to open"):
        tv.greens([5.0], [1.2], height=1.0, tilt=0.0)  # the failed load left no model
    church.restore()


@needs_library
def test_optimised_record_shapes_and_both_read_paths(church):
    tv, rec = church.tv, church.record
    assert rec.arraytype == 4 and rec.model.name == "Vexal32"
    # Each section keeps its side of the crossover, on the output grid; together they cover it.
    grid = tv.frequencies()
    assert rec.wf.shape == (16, rec.wf_freq.size) and rec.tw.shape == (16, rec.tw_freq.size)
    assert set(rec.wf_freq) | set(rec.tw_freq) == set(grid)
    assert rec.wf_freq[0] == grid[0] and rec.tw_freq[-1] == grid[-1] and rec.wf_freq[-1] > rec.tw_freq[0]
    assert np.all(np.isfinite(rec.wf)) and np.abs(rec.wf).max() > 0
    # The pointer read-out and repeated copies into the same host record agree.
    for again in (tv.record(), tv.record(), tv.record(via_pointer=True)):
        np.testing.assert_array_equal(again.wf, rec.wf)
        np.testing.assert_array_equal(again.tw, rec.tw)
    assert tv.channel_counts() == (16, 16)


@needs_library
def test_npz_round_trip_reproduces_the_design(church, tmp_path):
    tv = church.tv
    f = np.geomspace(30, 20000, 97)
    before = tv.sf_response(f)
    (tmp_path / "a").mkdir()
    tv.write_files(tmp_path / "a", "church")
    church.record.save(tmp_path / "church.npz")
    loaded = SFIORecord.load(tmp_path / "church.npz")
    for name in ("wf_freq", "wf", "tw_freq", "tw"):
        np.testing.assert_array_equal(getattr(loaded, name), getattr(church.record, name))
    tv.redesign(loaded)
    after = tv.sf_response(f)
    np.testing.assert_array_equal(after[0], before[0])
    np.testing.assert_array_equal(after[1], before[1])
    (tmp_path / "b").mkdir()
    tv.write_files(tmp_path / "b", "church")
    for written in sorted((tmp_path / "a").iterdir()):
        assert (tmp_path / "b" / written.name).read_bytes() == written.read_bytes(), written.name


def read_response_file(path):
    """The _SFR.bin layout: R, Cw, R frequencies, Cw x R complex; then Ct and Ct x R complex."""
    data = np.fromfile(path, dtype="<f8")
    r, cw = int(data[0]), int(data[1])
    freq = data[2:2 + r]
    at = 2 + r
    wf = data[at:at + 2 * r * cw].reshape(cw, r, 2)
    at += 2 * r * cw
    sections = [wf[..., 0] + 1j * wf[..., 1]]
    if at < data.size:
        ct = int(data[at])
        tw = data[at + 1:at + 1 + 2 * r * ct].reshape(ct, r, 2)
        sections.append(tw[..., 0] + 1j * tw[..., 1])
    return freq, sections


@needs_library
def test_written_files_match_the_responses(church, tmp_path):
    tv = church.tv
    written = tv.write_files(tmp_path, "church")
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(p.name for p in written)
    assert [p.name for p in written] == ["church_box1.bef", "church_box2.bef", "church_SFR.bin"]
    for bef in written[:2]:
        header = np.fromfile(bef, dtype="<i4", count=2)
        assert list(header) == [2, 2]  # both Vexal32 boxes carry tweeters
    freq, sections = read_response_file(written[-1])
    assert freq.size == 241 and math.isclose(freq[0], 20.0) and math.isclose(freq[-1], 20000.0, rel_tol=1e-12)
    # Same taps and the same closed form in both; 1e-12 leaves room for operation order.
    for from_file, from_call in zip(sections, tv.sf_response(freq)):
        np.testing.assert_allclose(from_file, from_call, rtol=1e-12, atol=1e-12 * np.abs(from_call).max())


@needs_library
def test_greens_power_and_headroom(church):
    tv, venue = church.tv, church.venue
    x = np.array([10.0, 20.0, -1.0, 0.0])
    z = np.array([1.2, 1.2, 1.2, venue.height + 0.3])  # the last point sits on the column
    first, last = 90, 110  # about 0.85 to 1.5 kHz
    power, headroom = tv.greens(x, z, height=venue.height, tilt=venue.tilt, first=first, last=last)
    assert power.shape == (last - first + 1, 4) and math.isfinite(headroom)
    assert np.all(power[:, :2] > 0) and np.all(power[:, 2] == 0.0)  # nothing arrives behind the column
    assert power[:, 3].max() == power[:, :3].max()  # the near field is clipped to the loudest far value
    # Rows are frequencies and columns points (the library writes column-major):
    # a single frequency, or the far points alone and reversed, give the same numbers
    # (the near-field point not, as its clipping level depends on all the others).
    one, _ = tv.greens(x, z, height=venue.height, tilt=venue.tilt, first=100, last=100)
    np.testing.assert_array_equal(one[0, :3], power[100 - first, :3])
    swapped, _ = tv.greens(x[1::-1], z[1::-1], height=venue.height, tilt=venue.tilt, first=first, last=last)
    np.testing.assert_array_equal(swapped, power[:, 1::-1])
    for bad in ((0, 10), (1, 216)):
        with pytest.raises(TalvekError):
            tv.greens(x, z, first=bad[0], last=bad[1])


@needs_library
def test_failures_leave_the_design_in_place(church):
    tv, venue = church.tv, church.venue
    table = venue.item_table()
    table[0, 0] = -1.0  # first end behind the column
    with pytest.raises(TalvekError, match="At least one VI is out of sight."):
        tv.optimise(venue.height, venue.tilt, table)
    np.testing.assert_array_equal(tv.record().wf, church.record.wf)
    other = SFIORecord(1, church.record.wf_freq, church.record.wf[:8])
    struct, keep = other.to_struct()
    with pytest.raises(TalvekError, match="New SFIO does not match presently loaded Vexal model"):
        tv.lib.put_sfio_and_design(struct)
    np.testing.assert_array_equal(tv.record().wf, church.record.wf)


@needs_library
def test_one_way_model(church):
    tv = church.tv
    venue = load_venue(EXAMPLES / "church_nave.json")
    tv.select("Vexal8")
    rec = tv.optimise(venue.height, 0.0, venue.item_table(), woofer_iterations=3)
    assert rec.arraytype == 1 and rec.wf.shape == (8, 215) and rec.tw.size == 0
    assert tv.channel_counts() == (8, 0)
    wf, tw = tv.sf_response([100.0, 1000.0])
    assert wf.shape == (8, 2) and tw.shape == (0, 2)
    tv.lib.matlab_close()  # releases nothing: the design is still there
    assert tv.channel_counts() == (8, 0)
    church.restore()


def test_bad_record_files_are_refused(tmp_path):
    np.savez(tmp_path / "other.npz", x=np.arange(3))
    (tmp_path / "text.npz").write_text("not a zip")
    for name in ("other.npz", "text.npz", "absent.npz"):
        with pytest.raises(ValueError, match="SFIO record"):
            SFIORecord.load(tmp_path / name)


