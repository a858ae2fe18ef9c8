"""A helper process that draws the figures of ``talvek design``.

Drawing with matplotlib is pure Python and holds the interpreter lock, so a
second core helps only through a second process. The helper is forked when the
command starts, while the process is still small (a fork of the process that
has designed would copy most of the pages either side touches after it). It
imports matplotlib and draws a throw-away figure while the library designs;
handed the figures, it forks once per figure, so that they are drawn side by
side by processes that all start with matplotlib loaded and warm. A figure
that the helper does not report as written is drawn by the caller after all,
so a helper that fails costs time, never a file.

This module does not import matplotlib: the caller needs it only when it has
to draw a figure itself.
"""

from __future__ import annotations

import os
import pickle
import signal
from dataclasses import dataclass, field
from pathlib import Path

__all__ = ["Figure", "PlotHelper", "draw_figures"]

# What the helper may be asked to draw: the figure functions of talvek.plots.
FIGURES = ("coverage_figure", "levels_figure", "filters_figure")


@dataclass
class Figure:
    """One figure to write: ``talvek.plots.<function>(*args, **kwargs)`` saved to ``path``."""

    function: str
    args: tuple
    path: Path
    kwargs: dict = field(default_factory=dict)

    def draw_here(self) -> None:
        if self.function not in FIGURES:
            raise ValueError(f"not a figure of talvek.plots: {self.function!r}")
        from . import plots

        plots.save(getattr(plots, self.function)(*self.args, **self.kwargs), self.path)


def draw_figures(figures: list[Figure], helper: PlotHelper | None = None) -> None:
    """Write ``figures``: through ``helper`` when given, else one after the other here."""
    if helper is None:
        for fig in figures:
            fig.draw_here()
    else:
        helper.draw(figures)


class PlotHelper:
    """A forked process that draws figures; use as a context manager.

    :meth:`draw` hands it the figures and returns when all are written.
    Leaving the context without drawing lets the helper go.
    """

    def __init__(self):
        self._pid = None
        if not hasattr(os, "fork"):
            return
        jobs_read, self._jobs = os.pipe()
        self._results, results_write = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(self._jobs)
            os.close(self._results)
            _serve(jobs_read, results_write)
        os.close(jobs_read)
        os.close(results_write)
        self._pid = pid

    def __enter__(self) -> PlotHelper:
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def draw(self, figures: list[Figure]) -> None:
        """Have the helper draw ``figures``; draw here those it does not report written."""
        figures = list(figures)
        written = b""
        if self._pid is not None:
            try:
                _write_all(self._jobs, pickle.dumps(figures))
            except OSError:  # the helper has gone
                pass
            os.close(self._jobs)
            written = _read_to_end(self._results)
            os.close(self._results)
            os.waitpid(self._pid, 0)
            self._pid = None
        for i, fig in enumerate(figures):
            if i >= len(written) or written[i] != 0:
                fig.draw_here()

    def close(self) -> None:
        """Stop the helper without drawing (after :meth:`draw`: nothing to do).
        It has been given nothing to write, so it need not finish its warm-up."""
        if self._pid is not None:
            os.kill(self._pid, signal.SIGKILL)
            os.close(self._jobs)
            os.close(self._results)
            os.waitpid(self._pid, 0)
            self._pid = None


def _serve(jobs: int, results: int) -> None:
    """The helper's life: import, warm up, then one child per figure; never returns."""
    status = 1
    try:
        from . import plots

        plots.warm_up()
        with os.fdopen(jobs, "rb") as stream:
            try:
                figures = pickle.load(stream)
            except EOFError:  # the command ended without plots
                figures = []
        children = []
        for fig in figures:
            pid = os.fork()
            if pid == 0:
                drawn = 1
                try:
                    fig.draw_here()
                    drawn = 0
                finally:
                    os._exit(drawn)
            children.append(pid)
        # One byte per figure, in order: 0 when it was written.
        os.write(results, bytes(0 if os.waitpid(pid, 0)[1] == 0 else 1 for pid in children))
        status = 0
    finally:
        # Leave at once: no clean-up of what the command inherited from its start.
        os._exit(status)


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def _read_to_end(fd: int) -> bytes:
    chunks = []
    while chunk := os.read(fd, 4096):
        chunks.append(chunk)
    return b"".join(chunks)
