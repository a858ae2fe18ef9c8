"""Output folders written whole, owned by Talvek, and checked by `talvek verify`."""

import json
import os
import struct
import subprocess
import sys
import textwrap

import pytest
from hostpaths import EXAMPLES, needs_library

from talvek.cli import main
from talvek.outputs.folder import sha256

pytestmark = needs_library
STEM = "church_nave"


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def snapshot(folder):
    return {p.name: p.read_bytes() for p in folder.iterdir()}


@pytest.fixture(scope="module")
def designed(tmp_path_factory):
    folder = tmp_path_factory.mktemp("designed") / "church"
    assert main(["design", str(EXAMPLES / f"{STEM}.json"), "-o", str(folder), "--grid", "40", "20"]) == 0
    return folder


@pytest.fixture
def copy(designed, tmp_path):
    target = tmp_path / "church"
    target.mkdir()
    for p in designed.iterdir():
        (target / p.name).write_bytes(p.read_bytes())
    return target


def relist(folder, name):
    """Record a changed file's size and digest in report.json, as a writer that made it so would."""
    rep = json.loads((folder / "report.json").read_text())
    for f in rep["files"]:
        if f["name"] == name:
            f["bytes"], f["sha256"] = (folder / name).stat().st_size, sha256(folder / name)
    (folder / "report.json").write_text(json.dumps(rep))


def gain_word_offset(data: bytes) -> int:
    """Byte offset of the woofer block's gain word in a filter-set file."""
    rows, channels = struct.unpack_from("<2i", data, 16)
    return 8 + 16 + 4 * (rows + rows * channels + channels)


def test_a_design_folder_verifies_and_renders_its_report_again(designed, capsys):
    code, out, err = run(capsys, "verify", designed)
    assert code == 0, err
    assert "the processor files are the ones designed" in out
    before = (designed / "report.pdf").read_bytes()
    assert run(capsys, "report", designed)[0] == 0
    assert (designed / "report.pdf").read_bytes() == before


def _flip_byte(folder):
    path = folder / f"{STEM}_box2.bef"
    data = bytearray(path.read_bytes())
    data[100] ^= 0x01
    path.write_bytes(bytes(data))


def _truncated_gain(folder):
    # A writer that truncates 65536 * gain instead of rounding it writes one less whenever the
    # fraction is 0.5 or more, in every box; its report lists the files as written.
    for k in (1, 2):
        name = f"{STEM}_box{k}.bef"
        data = bytearray((folder / name).read_bytes())
        at = gain_word_offset(bytes(data))
        struct.pack_into("<i", data, at, struct.unpack_from("<i", data, at)[0] - 1)
        (folder / name).write_bytes(bytes(data))
        relist(folder, name)


def _changed_weight(folder):
    name = f"{STEM}_box1.bef"
    data = bytearray((folder / name).read_bytes())
    rows = struct.unpack_from("<i", data, 16)[0]
    at = 8 + 16 + 4 * rows + 4 * 3  # the fourth weight of the first channel
    struct.pack_into("<i", data, at, struct.unpack_from("<i", data, at)[0] + 1)
    (folder / name).write_bytes(bytes(data))
    relist(folder, name)


def _changed_response(folder):
    name = f"{STEM}_SFR.bin"
    data = bytearray((folder / name).read_bytes())
    at = 8 * (2 + 241 + 50)
    struct.pack_into("<d", data, at, struct.unpack_from("<d", data, at)[0] * (1 + 1e-6))
    (folder / name).write_bytes(bytes(data))
    relist(folder, name)


def _cut_short(folder):
    name = f"{STEM}_box2.bef"
    (folder / name).write_bytes((folder / name).read_bytes()[:-4])
    relist(folder, name)


@pytest.mark.parametrize("damage, problem", [
    (_flip_byte, f"{STEM}_box2.bef: SHA-256"),
    (_truncated_gain, "woofer section: gain word"),
    (_changed_weight, "woofer section: the taps, stages and shifts of the files do not give the designed response"),
    (_changed_response, f"{STEM}_SFR.bin: the woofer responses differ"),
    (_cut_short, f"{STEM}_box2.bef: ends inside"),
])
def test_verify_catches_a_changed_processor_file(copy, capsys, damage, problem):
    damage(copy)
    code, _, err = run(capsys, "verify", copy)
    assert code == 1
    assert problem in err and "do not load these files" in err


def test_a_failed_design_leaves_the_previous_folder_as_it_was(copy, capsys, monkeypatch):
    from talvek import api

    before = snapshot(copy)
    real = api.Talvek.write_files

    def fails_after_the_first_file(self, folder, name):
        written = real(self, folder, name)
        written[1].unlink()
        raise OSError(28, "No space left on device", str(written[1]))

    monkeypatch.setattr(api.Talvek, "write_files", fails_after_the_first_file)
    code, _, err = run(capsys, "design", EXAMPLES / f"{STEM}.json", "-o", copy, "--no-plots")
    assert code == 1 and err.count("\n") == 1 and "left as it was" in err
    assert snapshot(copy) == before
    assert sorted(p.name for p in copy.parent.iterdir()) == ["church"]


def test_a_design_killed_between_two_processor_files_leaves_the_previous_folder(copy, env_for_subprocess):
    before = snapshot(copy)
    killed = textwrap.dedent(f"""
        import os, signal
        from talvek import api, cli
        real = api.Talvek.write_files
        def dies(self, folder, name):
            written = real(self, folder, name)
            written[1].unlink()          # the second file not yet written ...
            os.kill(os.getpid(), signal.SIGKILL)
        api.Talvek.write_files = dies
        cli.main(["design", {str(EXAMPLES / f"{STEM}.json")!r}, "-o", {str(copy)!r}, "--no-plots"])
    """)
    result = subprocess.run([sys.executable, "-c", killed], env=env_for_subprocess, capture_output=True, timeout=120)
    assert result.returncode == -9
    assert snapshot(copy) == before
    # The next design into the same folder clears what the killed one left beside it.
    assert main(["design", str(EXAMPLES / f"{STEM}.json"), "-o", str(copy), "--no-plots", "--grid", "20", "10"]) == 0
    assert sorted(p.name for p in copy.parent.iterdir()) == ["church"]
    assert not (copy / "report.pdf").exists()  # the new design is the whole folder


def test_a_folder_with_files_of_others_is_refused_unless_forced(copy, capsys):
    (copy / "notes.txt").write_text("mine")
    before = snapshot(copy)
    code, _, err = run(capsys, "design", EXAMPLES / f"{STEM}.json", "-o", copy, "--no-plots")
    assert code == 1 and err.count("\n") == 1 and "notes.txt" in err and "--force" in err
    assert snapshot(copy) == before
    code, _, err = run(capsys, "design", EXAMPLES / f"{STEM}.json", "-o", copy, "--no-plots", "--force",
                       "--grid", "20", "10")
    assert code == 0, err
    assert (copy / "notes.txt").read_text() == "mine" and not (copy / "coverage.png").exists()
    assert oct(copy.stat().st_mode & 0o777) == oct(0o777 & ~_umask())
    # Someone else's file under a name the design writes: neither is lost, the folder stays.
    (copy / "church_nave_SFR.bin").write_bytes(b"someone else's")
    rep = json.loads((copy / "report.json").read_text())
    rep["outputs"].remove("church_nave_SFR.bin")
    (copy / "report.json").write_text(json.dumps(rep))
    before = snapshot(copy)
    code, _, err = run(capsys, "design", EXAMPLES / f"{STEM}.json", "-o", copy, "--no-plots", "--force",
                       "--grid", "20", "10")
    assert code == 1 and err.count("\n") == 1 and "church_nave_SFR.bin" in err and "left as it was" in err
    assert snapshot(copy) == before and sorted(p.name for p in copy.parent.iterdir()) == ["church"]


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
