"""Designs exported once for the export tests: a one-way and a two-way column.

Each design is optimised, exported through :func:`talvek.export.export_design`
for BruteFIR (raw float64 coefficients), and its predicted sound field read
from the library at a few dozen points, all while the library holds it (the
library refuses a stored record of another array type than the design it
holds). Afterwards the church design is put back for the other tests.
"""

from dataclasses import dataclass
from pathlib import Path

import numpy as np

from talvek.export import export_design, read_model_document

# Column height and tilt, one audience line (x1, x2, z1, z2, level1, level2, active).
VENUES = {
    "Vexal8": (2.0, 0.0, [[3.0, 15.0, 1.2, 1.2, 80.0, 78.0, 1.0]]),
    "Vexal32": (3.0, -2.0, [[2.5, 26.0, 1.2, 1.2, 78.0, 76.0, 1.0]]),
}


@dataclass
class ExportedDesign:
    model: str
    height: float
    tilt: float
    record: object
    document: dict
    folder: Path
    points: tuple          # (x, y), (P,) each, m
    greens_power: np.ndarray  # (215, P) Pa^2, the library's prediction


def field_points(count=36, seed=3):
    """Points in front of the column, all outside every driver's near field (0.5 m)."""
    rng = np.random.default_rng(seed)
    return rng.uniform(1.5, 25.0, count), rng.uniform(0.0, 8.0, count)


def export_all(tv, church, root: Path) -> dict:
    out = {}
    for model, (height, tilt, items) in VENUES.items():
        tv.select(model)
        record = tv.optimise(height, tilt, items)
        folder = export_design(tv, record, "brutefir", root / model, source=f"{model}.npz")
        x, y = field_points()
        power, _ = tv.greens(x, y, height=height, tilt=tilt, first=1, last=tv.frequencies().size)
        document = read_model_document(tv.models_dir, record.model.number)
        out[model] = ExportedDesign(model, height, tilt, record, document, folder, (x, y), power)
    church.restore()
    return out
