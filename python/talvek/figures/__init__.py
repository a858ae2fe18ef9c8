"""The figures of a design, drawn with matplotlib: one module per family.

Importing this package does not import matplotlib; the first figure drawn
does (see :mod:`talvek.figures.style`).
"""

from .style import FORMATS, preload, save
from .threads import FigureThreads

__all__ = ["FORMATS", "preload", "save", "FigureThreads", "NAMES"]

# The figure files of a design, in the order the report shows them.
NAMES = ("coverage", "levels", "intelligibility", "filters")
