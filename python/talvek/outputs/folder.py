"""Whole output folders: everything of a design is written beside the target and swapped in at once.

A design writes into a new folder next to the target; only when every
file is written is the old folder renamed aside, the new one renamed into
its place, and the old one removed. A failure before the swap leaves the
previous folder as it was, so a processor never gets a mixed set. A
process killed while it writes leaves its new folder behind under a name
that says so (``.<target>.talvek-new-<pid>-...``); the next design into the
same target removes it.
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import re
import shutil
import tempfile
from pathlib import Path

__all__ = ["FolderError", "whole_folder", "is_own", "foreign_files", "describe_files", "sha256"]

# What a design folder held before report.json listed its outputs.
_LEGACY = re.compile(r"(.+_box\d+\.bef|.+_SFR\.bin|.+\.npz|report\.json|(coverage|levels|filters)\.png)")


class FolderError(Exception):
    """An output folder that cannot be written, explained by its one-line message."""


def sha256(path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def describe_files(paths) -> list[dict]:
    """``name``, ``bytes`` and ``sha256`` of each file, in the order given."""
    return [{"name": Path(p).name, "bytes": Path(p).stat().st_size, "sha256": sha256(p)} for p in paths]


def foreign_files(folder: Path) -> list[str]:
    """Entries of an existing output folder that Talvek did not write.

    The design's own files are the ones its report.json lists under
    ``outputs`` (and report.json itself); a folder written before that list
    existed is judged by the names a design gives its files.
    """
    names = sorted(p.name for p in folder.iterdir())
    own: set | None = None
    report = folder / "report.json"
    if report.is_file():
        try:
            listed = json.loads(report.read_text()).get("outputs")
            if isinstance(listed, list):
                own = {str(n) for n in listed} | {"report.json"}
        except (OSError, ValueError, AttributeError):
            pass
    foreign = []
    for name in names:
        path = folder / name
        mine = (name in own) if own is not None else bool(_LEGACY.fullmatch(name))
        # A system's folder holds a whole design folder per column.
        own_folder = own is not None and path.is_dir() and not path.is_symlink() and not foreign_files(path)
        if not mine or path.is_symlink() or not (path.is_file() or own_folder):
            foreign.append(name)
    return foreign


def is_own(folder: Path) -> bool:
    """True for a folder that does not exist, is empty, or holds only files a design wrote."""
    folder = Path(folder)
    return not folder.exists() or (folder.is_dir() and not foreign_files(folder))


def _remove_stale(parent: Path, name: str) -> None:
    """Folders left by designs into the same target whose process is gone."""
    for entry in parent.glob(f".{name}.talvek-*-*"):
        m = re.fullmatch(rf"\.{re.escape(name)}\.talvek-(new|old)-(\d+)-.*", entry.name)
        if not m or not entry.is_dir():
            continue
        pid = int(m.group(2))
        if pid != os.getpid():
            try:
                os.kill(pid, 0)
                continue  # still running: a design of its own
            except ProcessLookupError:
                pass
            except PermissionError:
                continue
        shutil.rmtree(entry, ignore_errors=True)


@contextlib.contextmanager
def whole_folder(target, *, force: bool = False):
    """Yield a new empty folder beside ``target``; on a clean exit it becomes ``target``.

    Parameters
    ----------
    target : path
        The output folder (created with its parents when missing).
    force : bool
        Write into a folder that holds files Talvek did not write: those
        files are carried over into the new folder, Talvek's own are replaced.
        A file of theirs with the name of one the design writes is refused
        (after the design; the folder is left as it was).

    Raises
    ------
    FolderError
        When the target is not a folder, is not Talvek's own (without
        ``force``), or cannot be written; also when the swap fails. In every
        case the previous folder is left as it was and nothing is left beside it.
    """
    target = Path(target).absolute()
    if target.exists() and not target.is_dir():
        raise FolderError(f"output folder {target} is a file")
    if target.is_dir():
        target = target.resolve()
    foreign = foreign_files(target) if target.is_dir() else []
    if foreign and not force:
        shown = ", ".join(foreign[:5]) + (f" and {len(foreign) - 5} more" if len(foreign) > 5 else "")
        raise FolderError(f"output folder {target} holds files Talvek did not write ({shown}); choose another "
                          "folder, or pass --force to keep them and replace Talvek's own files")
    parent = target.parent
    try:
        parent.mkdir(parents=True, exist_ok=True)
        _remove_stale(parent, target.name)
        new = Path(tempfile.mkdtemp(prefix=f".{target.name}.talvek-new-{os.getpid()}-", dir=parent))
        # mkdtemp makes it private; the folder gets the mode a plain mkdir would give (or the old one's).
        if target.is_dir():
            mode = target.stat().st_mode & 0o7777
        else:
            mask = os.umask(0o022)
            os.umask(mask)
            mode = 0o777 & ~mask
        os.chmod(new, mode)
    except OSError as e:
        raise FolderError(f"cannot write to output folder {target}: {e.strerror or e}") from None
    try:
        yield new
        clashing = [name for name in foreign if os.path.lexists(new / name)]
        if clashing:  # the design writes a file of that name: keeping both is impossible, losing one wrong
            raise FolderError(f"output folder {target} holds {', '.join(clashing)}, which Talvek did not write "
                              "and this design writes too; move it away and design again (the folder is left "
                              "as it was)")
        for name in foreign:  # kept as they are: hard links where the file system allows
            source, copy = target / name, new / name
            if source.is_dir() and not source.is_symlink():
                shutil.copytree(source, copy, symlinks=True)
            else:
                try:
                    os.link(source, copy, follow_symlinks=False)
                except OSError:
                    shutil.copy2(source, copy, follow_symlinks=False)
        _swap(new, target)
    except BaseException:
        shutil.rmtree(new, ignore_errors=True)
        raise


def _swap(new: Path, target: Path) -> None:
    """Put ``new`` in the place of ``target``: the old folder aside, the new one in, the old one removed."""
    old = None
    try:
        if target.exists():
            old = Path(tempfile.mkdtemp(prefix=f".{target.name}.talvek-old-{os.getpid()}-", dir=target.parent))
            os.replace(target, old)  # an empty directory is replaced by a rename
        os.replace(new, target)
    except OSError as e:
        if old is not None and not target.exists():
            with contextlib.suppress(OSError):
                os.replace(old, target)
        if old is not None and old.exists() and not any(old.iterdir()):
            old.rmdir()
        raise FolderError(f"cannot put the new files into {target}: {e.strerror or e}; the previous folder is "
                          "left as it was") from None
    if old is not None:
        shutil.rmtree(old, ignore_errors=True)
