"""Talvek host side: a ctypes binding over libtalvek.so, a numpy-shaped API,
venue files, predictions, plots and the ``talvek`` command line.

The names below are imported on first use, so that ``python -m talvek`` can
start loading a model before numpy is imported (:mod:`talvek.preload`).
"""

import importlib

from ._version import __version__

_HOMES = {
    "MODELS": "models", "ModelInfo": "models", "model_info": "models",
    "SFIORecord": "api", "Talvek": "api",
    "Library": "binding", "TalvekError": "binding", "find_library": "binding",
    "AudienceLine": "venue", "Venue": "venue", "VenueError": "venue", "load_venue": "venue",
    "parse_venue": "venue",
}

__all__ = ["__version__", *_HOMES]


def __getattr__(name):
    if name not in _HOMES:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{_HOMES[name]}", __name__), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__))
