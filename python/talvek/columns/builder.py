"""``talvek model build``: a column description becomes a model archive in a models folder.

Everything is read, checked and computed before the first byte is written;
the archive is written beside its final name and moved into place, then the
folder's table of columns is replaced whole. The ten bundled archives are
linked into the folder when it lacks them, because the library's start-up
check wants them beside the user's.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path

from ..models import MODELS, register_column, user_models
from ..venue import VenueError
from .archive import write_archive
from .description import Column, read_column
from .document import model_document

__all__ = ["BuildError", "Built", "build_column"]


class BuildError(ValueError):
    """A build that cannot go ahead; one line."""


@dataclass
class Built:
    column: Column
    archive: Path
    linked: list  # bundled archives linked into the folder


def build_column(description: str | os.PathLike, folder: str | os.PathLike,
                 bundled: str | os.PathLike | None) -> Built:
    """Build the archive of a described column into ``folder``.

    Parameters
    ----------
    description : path
        The column description (JSON).
    folder : path
        Models folder to write into (created if needed).
    bundled : path or None
        Folder of the bundled archives to link from when ``folder`` lacks them.

    Raises
    ------
    VenueError
        For a description (or its measured data) that cannot be used.
    BuildError
        For a folder that cannot take the column.
    """
    column = read_column(description)
    folder = Path(folder)
    document = model_document(column.plan)
    missing = [m for m in MODELS if not (folder / f"{m.name}.bin").exists()]
    if missing and (bundled is None or not all((Path(bundled) / f"{m.name}.bin").is_file() for m in missing)):
        raise BuildError(f"cannot find the bundled archives ({missing[0].name}.bin ...) to place beside the column "
                         f"in {folder}; name their folder with --models or TALVEK_MODEL_DIR")
    try:
        folder.mkdir(parents=True, exist_ok=True)
        existing = user_models(folder)
    except FileExistsError:
        raise BuildError(f"output folder {folder} is a file") from None
    except OSError as e:
        raise BuildError(f"cannot create output folder {folder}: {e.strerror or e}") from None
    except ValueError as e:  # an unreadable table
        raise BuildError(str(e)) from None
    for m in existing:
        if m.name.lower() == column.info.name.lower() and m.number != column.info.number:
            raise VenueError(column.source, None, "name", f"{folder} already has a column {m.name!r}, "
                             f"number {m.number}; rename one of them")
    linked = []
    archive = folder / f"{column.archive_name}.bin"
    had_archive = archive.exists()
    try:
        write_archive(folder, column.archive_name, document)
        for m in missing:
            target = (Path(bundled) / f"{m.name}.bin").resolve()
            os.symlink(target, folder / f"{m.name}.bin")
            linked.append(m.name)
        register_column(folder, column.info)
    except OSError as e:
        # Take back what this build added, so that the folder is as it was.
        for name in linked:
            (folder / f"{name}.bin").unlink(missing_ok=True)
        if not had_archive:
            archive.unlink(missing_ok=True)
        raise BuildError(f"cannot write into {folder}: {e.strerror or e}") from None
    return Built(column, archive, linked)
