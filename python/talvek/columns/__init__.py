"""Columns of the user's own: a description file becomes a model archive.

Layers, lowest first: :mod:`.piston` (driver physics), :mod:`.document` (the
model document from a plan) and :mod:`.archive` (the zip), used also by the
generator of the bundled models; :mod:`.sofa`, :mod:`.csv_directivity` and
:mod:`.grids` (measured data onto the model's grids); :mod:`.description`
(the JSON description) and :mod:`.builder` (``talvek model build``).
"""

from .builder import BuildError, Built, build_column
from .description import Column, array_type_for, parse_column, read_column

__all__ = ["BuildError", "Built", "build_column", "Column", "array_type_for", "parse_column", "read_column"]
