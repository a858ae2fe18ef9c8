"""``talvek verify FOLDER``: are the processor files in a design folder the ones designed?

The files are decoded here from their bytes (:mod:`.processor_files`), not
written again by the library, and checked against report.json (names,
sizes, SHA-256) and against the stored record: the library designs the
record again and its ``Talvek_SF_Response`` must be what the decoded taps,
stages, shifts and gain describe, to the rounding of the gain word.
"""

from __future__ import annotations

import json
import math
from pathlib import Path

import numpy as np

from . import processor_files as pf
from .folder import sha256

__all__ = ["VerifyError", "verify"]

# Two evaluations of the same FIR sum in doubles agree to about 1e-13 of the
# largest response; 1e-9 leaves room for the order of operations and still
# sees a changed weight (one part in ~1e5 of a section's peak at the least).
RESPONSE_RTOL = 1e-9


class VerifyError(Exception):
    """A folder that cannot be checked at all (no report, no record), in one line."""


def _load_report(folder: Path) -> dict:
    path = folder / "report.json"
    try:
        rep = json.loads(path.read_text())
    except FileNotFoundError:
        raise VerifyError(f"{path}: missing; not a design folder") from None
    except (OSError, ValueError) as e:
        raise VerifyError(f"{path}: unreadable ({e})") from None
    files = rep.get("files") if isinstance(rep, dict) else None
    if not isinstance(files, list) or not all(isinstance(f, dict) and {"name", "bytes", "sha256"} <= f.keys()
                                              for f in files):
        raise VerifyError(f"{path}: files: expected a list of name, bytes and sha256 (written by an older Talvek?)")
    return rep


def _record_path(folder: Path, rep: dict) -> Path:
    if rep.get("record"):
        return folder / str(rep["record"])
    found = sorted(folder.glob("*.npz"))
    if len(found) != 1:
        raise VerifyError(f"{folder}: report.json names no record and the folder holds {len(found)} .npz files")
    return found[0]


def _close(a: np.ndarray, b: np.ndarray) -> bool:
    scale = max(float(np.abs(b).max(initial=0.0)), 1e-300)
    return a.shape == b.shape and float(np.abs(a - b).max(initial=0.0)) <= RESPONSE_RTOL * scale


def _listed_files(folder: Path, rep: dict) -> list[str]:
    """Problems of the files report.json lists: missing, or of another size or SHA-256."""
    problems = []
    for f in rep["files"]:
        path = folder / f["name"]
        if not path.is_file():
            problems.append(f"{f['name']}: missing")
            continue
        size, digest = path.stat().st_size, sha256(path)
        if size != f["bytes"]:
            problems.append(f"{f['name']}: {size} bytes, report.json says {f['bytes']}")
        if digest != f["sha256"]:
            problems.append(f"{f['name']}: SHA-256 {digest}, report.json says {f['sha256']}")
    return problems


def _verify_system(tv, folder: Path, rep: dict) -> tuple[list[str], list[str]]:
    """A system folder: the files its report lists, then every column's folder as a design folder."""
    problems = _listed_files(folder, rep)
    checked = [f"{len(rep['files'])} processor files of {len(rep.get('columns', []))} columns against the "
               "system's report.json"]
    for entry in rep.get("columns", []):
        name = str(entry.get("folder", ""))
        sub = folder / name
        if not name or "/" in name or name.startswith(".") or not sub.is_dir():
            problems.append(f"{name or entry.get('name')}: the column's folder is missing")
            continue
        try:
            done, found = verify(tv, sub)
        except VerifyError as e:
            problems.append(f"{name}: {e}")
            continue
        checked += [f"{name}: {line}" for line in done]
        problems += [f"{name}/{line}" for line in found]
    return checked, problems


def verify(tv, folder) -> tuple[list[str], list[str]]:
    """Check a design folder; returns (what was checked, the problems found), one line each."""
    from ..api import SFIORecord

    folder = Path(folder)
    rep = _load_report(folder)
    if rep.get("system"):
        return _verify_system(tv, folder, rep)
    listed = {f["name"]: f for f in rep["files"]}
    problems = _listed_files(folder, rep)
    checked = [f"{len(listed)} processor files against the sizes and SHA-256 of report.json"]

    record_path = _record_path(folder, rep)
    try:
        record = SFIORecord.load(record_path)
    except ValueError as e:
        raise VerifyError(str(e)) from None
    model = record.model
    stem = record_path.stem
    expected = [f"{stem}_box{k}.bef" for k in range(1, len(model.boxes) + 1)] + [f"{stem}_SFR.bin"]
    for name in sorted(set(expected) - set(listed)):
        problems.append(f"{name}: a {model.name} design has it, report.json does not list it")
    for name in sorted(set(listed) - set(expected)):
        problems.append(f"{name}: listed in report.json, but not a file of a {model.name} design named {stem}")

    tv.select(model.number)
    tv.redesign(record)
    cw, ct = tv.channel_counts()
    grid = pf.response_grid()
    designed = tv.sf_response(grid)

    # Box by box: the blocks, and the section's channels gathered in channel order.
    sections = {0: {}, 1: {}}  # section -> channel (0-based) -> (block, row in block)
    for k, (w1, w2, t1, t2) in enumerate(model.boxes, start=1):
        name = f"{stem}_box{k}.bef"
        try:
            fs = pf.read_filter_set((folder / name).read_bytes(), name)
        except (OSError, pf.FileFormatError) as e:
            problems.append(str(e) if isinstance(e, pf.FileFormatError) else f"{name}: {e.strerror or e}")
            continue
        ranges = [(w1, w2)] + ([(t1, t2)] if t1 else [])
        if len(fs.blocks) != len(ranges):
            problems.append(f"{name}: {len(fs.blocks)} blocks; box {k} of {model.name} has {len(ranges)}")
            continue
        for s, (block, (first, last)) in enumerate(zip(fs.blocks, ranges)):
            if block.channels != last - first + 1:
                problems.append(f"{name}: {('woofer', 'tweeter')[s]} block of {block.channels} channels; box {k} "
                                f"has channels {first} to {last}")
                continue
            for row, c in enumerate(range(first - 1, last)):
                sections[s][c] = (block, row)
    checked.append(f"{len(model.boxes)} filter-set files decoded against the boxes of {model.name}")

    for s, (count, section) in enumerate(((cw, "woofer"), (ct, "tweeter"))):
        channels = sections[s]
        if sorted(channels) != list(range(count)):
            if count or channels:
                problems.append(f"{section} section: the files hold {len(channels)} channels, the design {count}")
            continue
        blocks = {id(b): b for b, _ in channels.values()}.values()
        words = {b.gain_word for b in blocks}
        if len(words) != 1:
            problems.append(f"{section} section: the boxes disagree on the gain word ({sorted(words)})")
            continue
        word = words.pop()
        unit = np.stack([pf.fir_response(pf.block_taps(b, gain=1.0)[row:row + 1], grid)[0]
                         for b, row in (channels[c] for c in range(count))])
        lib = designed[s]
        # The gain the library applies, from its own response: the least-squares factor.
        norm = float(np.vdot(unit, unit).real)
        gain = float(np.vdot(unit, lib).real / norm) if norm > 0 else 0.0
        if not _close(gain * unit, lib):
            problems.append(f"{section} section: the taps, stages and shifts of the files do not give the "
                            "designed response")
            continue
        exact = 65536.0 * gain
        if abs(word - exact) > 0.5 + 1e-6:
            problems.append(f"{section} section: gain word {word} is not 65536 × gain rounded "
                            f"({exact:.4f} → {math.floor(exact + 0.5)})")
            continue
        checked.append(f"{section} section: {count} channels, response of the decoded taps = Talvek_SF_Response "
                       f"(gain word {word} = round({exact:.4f}))")

    name = f"{stem}_SFR.bin"
    try:
        resp = pf.read_responses((folder / name).read_bytes(), model.two_way, name)
    except (OSError, pf.FileFormatError) as e:
        problems.append(str(e) if isinstance(e, pf.FileFormatError) else f"{name}: {e.strerror or e}")
    else:
        if not np.allclose(resp.freq, grid, rtol=1e-12, atol=0):
            problems.append(f"{name}: the frequencies are not the 241-point grid from 20 Hz to 20 kHz")
        for section, got, want in (("woofer", resp.woofer, designed[0]), ("tweeter", resp.tweeter, designed[1])):
            if got.shape[0] != want.shape[0]:
                problems.append(f"{name}: {got.shape[0]} {section} channels, the design has {want.shape[0]}")
            elif not _close(got, want):
                problems.append(f"{name}: the {section} responses differ from Talvek_SF_Response")
        checked.append(f"{name}: {resp.woofer.shape[0]}+{resp.tweeter.shape[0]} channels against "
                       "Talvek_SF_Response")
    return checked, problems
