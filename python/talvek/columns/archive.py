"""Writing a model archive: ``<name>.bin``, a zip holding ``<name>.json``.

The archive is written beside its final name and moved into place whole, so
an interrupted build never leaves a half archive under the name the library
opens. Fixed time stamp and attributes make the bytes depend on the document
only.
"""

from __future__ import annotations

import json
import os
import zipfile
from pathlib import Path

__all__ = ["write_archive"]


def write_archive(directory, name: str, document: dict) -> Path:
    """Write ``directory/<name>.bin``; returns its path."""
    text = json.dumps(document, separators=(",", ":"))
    info = zipfile.ZipInfo(f"{name}.json", date_time=(1980, 1, 1, 0, 0, 0))
    info.compress_type = zipfile.ZIP_DEFLATED
    info.external_attr = 0o644 << 16
    final = Path(directory, f"{name}.bin")
    partial = final.with_name(final.name + ".tmp")
    try:
        with zipfile.ZipFile(partial, "w") as archive:
            archive.writestr(info, text)
        os.replace(partial, final)
    except BaseException:
        partial.unlink(missing_ok=True)
        raise
    return final
