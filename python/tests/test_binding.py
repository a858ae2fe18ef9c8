"""The ctypes binding and the numpy API against the built library."""

import ctypes
import math
import re
import shutil
import subprocess

import numpy as np
import pytest
from hostpaths import REPO, needs_library

from talvek.api import SFIORecord
from talvek.binding import EXPORTS, SFIO, SFIOChannelSet, SFResponseRequest, TalvekError

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


def test_bad_record_files_are_refused(tmp_path):
    np.savez(tmp_path / "other.npz", x=np.arange(3))
    (tmp_path / "text.npz").write_text("not a zip")
    for name in ("other.npz", "text.npz", "absent.npz"):
        with pytest.raises(ValueError, match="SFIO record"):
            SFIORecord.load(tmp_path / name)


