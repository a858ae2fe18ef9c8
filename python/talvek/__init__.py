"""Talvek host side: a ctypes binding over libtalvek.so, a numpy-shaped API,
venue files, predictions, plots and the ``talvek`` command line.

The plotting module (Pillow) is loaded on demand.
"""

from ._version import __version__
from .api import MODELS, ModelInfo, SFIORecord, Talvek, model_info
from .binding import Library, TalvekError, find_library
from .venue import AudienceLine, Venue, VenueError, load_venue, parse_venue

__all__ = [
    "__version__",
    "MODELS", "ModelInfo", "SFIORecord", "Talvek", "model_info",
    "Library", "TalvekError", "find_library",
    "AudienceLine", "Venue", "VenueError", "load_venue", "parse_venue",
]
