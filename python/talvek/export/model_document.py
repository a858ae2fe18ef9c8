"""Reading a model's document from its archive in the models folder.

The library opens the archive of model number k by name
(:func:`talvek.models.archive_stem`). The archive is a zip holding
``<name>.json``; the export reads the settings the library applies after the
steering filters (the woofer boxes' roll-off) from it, and the tests read the
transfer data.
"""

from __future__ import annotations

import json
import zipfile
from pathlib import Path

from ..models import archive_stem
from .errors import ExportError


def read_model_document(models_dir: str | Path, number: int, *, shown_as: str | None = None) -> dict:
    """The parsed ``<name>.json`` of model ``number``'s archive in ``models_dir``.

    Raises
    ------
    ExportError
        When the archive is missing or is not a model archive; the message
        names the model (``shown_as``, default the archive name) and the file.
    """
    stem = archive_stem(number)
    path = Path(models_dir) / f"{stem}.bin"
    label = shown_as or stem
    if not path.is_file():
        raise ExportError(f"model {label} is not installed: {path} does not exist")
    try:
        with zipfile.ZipFile(path) as archive:
            text = archive.read(f"{stem}.json")
        doc = json.loads(text)
    except KeyError:
        raise ExportError(f"{path}: no {stem}.json inside the archive") from None
    except (OSError, zipfile.BadZipFile, ValueError) as e:
        raise ExportError(f"{path}: not a readable model archive ({e})") from None
    if not isinstance(doc, dict) or not isinstance(doc.get("wf"), dict):
        raise ExportError(f"{path}: {stem}.json has no woofer section 'wf'")
    return doc
