"""Writing an output folder whole or not at all.

Everything goes into a fresh hidden folder beside the target; only when it
is complete does it take the target's name. A target that already exists is
replaced only when it is empty or holds an earlier export (its manifest), so
that an export never deletes files it did not write.
"""

from __future__ import annotations

import os
import shutil
import tempfile
from pathlib import Path
from typing import Callable

from .errors import ExportError

MANIFEST = "export.json"


def check_target(target: str | Path) -> Path:
    """The absolute target folder, when an export may write it; raises :class:`ExportError` otherwise."""
    target = Path(target).absolute()
    if target.exists() and not target.is_dir():
        raise ExportError(f"output folder {target} is a file")
    if target.is_dir() and any(target.iterdir()) and not (target / MANIFEST).is_file():
        raise ExportError(f"output folder {target} exists and holds files of something else; "
                          "name a new or empty folder")
    existing = next(p for p in target.parents if p.exists())
    if not existing.is_dir():
        raise ExportError(f"cannot write to output folder {target}: {existing} is not a folder")
    return target


def write_folder(target: str | Path, fill: Callable[[Path], None]) -> Path:
    """Run ``fill(staging)`` on a fresh folder and move it to ``target`` when it returns.

    Raises
    ------
    ExportError
        When ``target`` cannot be written or holds files of something else;
        nothing is left behind. Exceptions of ``fill`` pass through, after the
        staging folder has been removed.
    """
    target = check_target(target)
    parent = target.parent
    try:
        parent.mkdir(parents=True, exist_ok=True)
        staging = Path(tempfile.mkdtemp(prefix=f".{target.name}.partial-", dir=parent))
    except OSError as e:
        raise ExportError(f"cannot write to output folder {target}: {e.strerror or e}") from None
    try:
        fill(staging)
        os.chmod(staging, 0o777 & ~_umask())
        if target.exists():
            old = Path(tempfile.mkdtemp(prefix=f".{target.name}.old-", dir=parent))
            os.replace(target, old / "previous")
            os.replace(staging, target)
            shutil.rmtree(old, ignore_errors=True)
        else:
            os.replace(staging, target)
    except OSError as e:
        shutil.rmtree(staging, ignore_errors=True)
        raise ExportError(f"cannot write to output folder {target}: {e.strerror or e}") from None
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        raise
    return target


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
