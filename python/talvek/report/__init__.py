"""The design report: a multi-page PDF for the client, the architect and the commissioning engineer.

The names below are imported on first use, so that :mod:`talvek.report.workers`
can start its drawing processes before numpy is imported.
"""

import importlib

_HOMES = {"write_pdf": "document", "FiguresAndReport": "drawing", "figure_names": "drawing",
          "SystemFiguresAndReport": "system"}

__all__ = list(_HOMES)


def __getattr__(name):
    if name not in _HOMES:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{_HOMES[name]}", __name__), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__))
