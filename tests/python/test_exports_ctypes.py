"""The shared library as a host sees it: loaded with ctypes, called by name."""
import os
import subprocess
import sys
import textwrap

import pytest

LIBRARY = os.environ.get("TALVEK_LIBRARY")
MODELS = os.environ.get("TALVEK_MODEL_DIR")
pytestmark = pytest.mark.skipif(not LIBRARY, reason="TALVEK_LIBRARY not set")

EXPORTS = sorted("""Talvek_MatLabInit Talvek_MatLabClose Talvek_Initial_Check Talvek_Get_Error
Talvek_Get_Frequencies Talvek_Get_Nchannels Talvek_Setup_Speaker Talvek_Get_SFIO
Talvek_Get_SFIO_pointer Talvek_Put_SFIO_and_design_SFs Talvek_Optimizer Talvek_Greens
Talvek_SF_Response Talvek_Write_Files""".split())


def run_fresh(body, cwd):
    """Runs `body` in a new interpreter, so the library's state is as loaded."""
    prelude = textwrap.dedent(f"""
        import ctypes
        lib = ctypes.CDLL({LIBRARY!r})
        def error():
            n = lib.Talvek_Get_Error(None, 0)
            buf = ctypes.create_string_buffer(n + 1)
            lib.Talvek_Get_Error(buf, n + 1)
            return buf.value.decode()
    """)
    result = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(body)], cwd=cwd,
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_exports_exactly_the_fourteen_functions():
    out = subprocess.run(["nm", "-D", "--defined-only", LIBRARY], capture_output=True, text=True,
                         check=True).stdout
    symbols = sorted(line.split()[-1] for line in out.splitlines() if line.strip())
    ours = [s for s in symbols if not s.startswith("_") or "Talvek" in s or "_Z" in s]
    assert sorted(s for s in ours if s.startswith("Talvek_")) == EXPORTS
    # Nothing else of ours: no C++ symbols, no helper functions.
    assert [s for s in ours if not s.startswith("Talvek_")] == []


def test_every_export_fails_cleanly_before_any_set_up(tmp_path):
    out = run_fresh("""
        d = ctypes.c_double
        print(lib.Talvek_Get_Frequencies(215, ctypes.byref(ctypes.c_int(0)), (d * 215)()), error())
        print(lib.Talvek_Get_Nchannels(ctypes.byref(ctypes.c_int()), ctypes.byref(ctypes.c_int())), error())
        print(lib.Talvek_Get_SFIO(ctypes.create_string_buffer(128)), error())
        p = ctypes.c_void_p(1)
        print(lib.Talvek_Get_SFIO_pointer(ctypes.byref(p)), p.value, error())
        print(lib.Talvek_Put_SFIO_and_design_SFs(ctypes.create_string_buffer(128)), error())
        vi = (d * 7)(3, 20, 1.2, 1.2, 94, 88, 1)
        print(lib.Talvek_Optimizer(d(2.5), d(0), 1, 0, vi, d(0), d(0), d(0), d(1), d(0)), error())
        pts = (d * 1)(5.0)
        print(lib.Talvek_Greens(d(2.5), d(0), pts, pts, 1, d(1), d(1), (d * 1)(), (d * 1)()), error())
        print(lib.Talvek_SF_Response(ctypes.create_string_buffer(64)), error())
        print(lib.Talvek_Write_Files(b"./", b"x"), error())
        lib.Talvek_MatLabClose()
        print(lib.Talvek_Setup_Speaker(d(1)), error())
    """, cwd=tmp_path)
    lines = out.splitlines()
    assert len(lines) == 10
    for line in lines[:-1]:
        assert line.startswith("-1 "), line
    assert "Talvek_MatLabInit" in lines[0]
    assert "Talvek_Optimizer" in lines[1] or "design" in lines[1]
    assert "You must run at least one optimization before you can read a valid SFIO struct" in lines[2]
    assert lines[3].startswith("-1 None You must run at least one optimization before you can read a pointer")
    assert lines[-1] == "-1 Unable to open zip file data."
    assert not list(tmp_path.iterdir()), "no file may be written without a design"


@pytest.mark.skipif(not MODELS, reason="TALVEK_MODEL_DIR not set")
def test_self_check_and_every_model_through_ctypes():
    out = run_fresh("""
        print(lib.Talvek_Initial_Check(), repr(error()))
        print(lib.Talvek_MatLabInit())
        print([lib.Talvek_Setup_Speaker(ctypes.c_double(k)) for k in range(1, 11)], error())
    """, cwd=MODELS)
    lines = out.splitlines()
    assert lines[0] == "1 ''"
    assert lines[1] == "1"
    assert lines[2].startswith("[1, 1, 1, 1, 1, 1, 1, 1, 1, 1]")
