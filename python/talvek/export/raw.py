"""Impulse responses as raw coefficient files: little-endian float64, no header."""

from __future__ import annotations

from pathlib import Path

import numpy as np

SUFFIX = ".f64"


def write(folder: Path, chains) -> list[str]:
    """Write ``<channel>.f64`` for every channel; returns the file names."""
    names = []
    for name, ir in zip(chains.names, chains.impulse_responses):
        np.asarray(ir, dtype="<f8").tofile(folder / f"{name}{SUFFIX}")
        names.append(f"{name}{SUFFIX}")
    return names
