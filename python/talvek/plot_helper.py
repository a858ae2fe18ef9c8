"""A helper process that draws the figures of ``talvek design``.

Drawing with matplotlib is pure Python and holds the interpreter lock, so a
second core helps only through a second process. The helper is forked when the
command starts, while the process is still small (a fork of the process that
has designed would copy most of the pages either side touches after it). It
imports matplotlib and draws a throw-away figure while the library designs;
handed a figure, it forks a process to draw it, so that the figures are drawn
side by side (and the first while the command predicts the levels for the
others) by processes that all start with matplotlib loaded and warm. A figure
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

__all__ = ["Figure", "PlotHelper"]

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


class PlotHelper:
    """A forked process that draws figures; use as a context manager.

    :meth:`submit` hands it a figure, which it starts drawing at once;
    :meth:`finish` returns when every figure is written. Leaving the context
    without finishing lets the helper go. With ``start=False`` (or where
    processes cannot be forked) there is no helper: :meth:`finish` draws the
    figures here, one after the other.
    """

    def __init__(self, start: bool = True):
        self._pid = None
        self._submitted: list[Figure] = []
        self._written = b""
        if not start or not hasattr(os, "fork"):
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

    def submit(self, fig: Figure) -> None:
        """Have the helper draw ``fig`` (without a helper, :meth:`finish` draws it here)."""
        self._submitted.append(fig)
        if self._pid is not None:
            try:
                _write_all(self._jobs, pickle.dumps(fig))
            except OSError:  # the helper has gone: what it did not report is drawn here
                self._stop()

    def finish(self) -> None:
        """Wait for every figure submitted; draw here those not reported written."""
        self._stop()
        for i, fig in enumerate(self._submitted):
            if i >= len(self._written) or self._written[i] != 0:
                fig.draw_here()
        self._submitted, self._written = [], b""

    def close(self) -> None:
        """Let the helper go without drawing here. Given nothing to draw, it is
        stopped at once; else what it started is let finish."""
        if self._pid is not None and not self._submitted:
            os.kill(self._pid, signal.SIGKILL)
        self._stop()

    def _stop(self) -> None:
        if self._pid is None:
            return
        os.close(self._jobs)  # no more figures: the helper reports and leaves
        self._written = _read_to_end(self._results)
        os.close(self._results)
        os.waitpid(self._pid, 0)
        self._pid = None


def _serve(jobs: int, results: int) -> None:
    """The helper's life: import, warm up, then a child for each figure as it comes; never returns."""
    status = 1
    try:
        from . import plots

        plots.warm_up()
        children = []
        with os.fdopen(jobs, "rb") as stream:
            while True:
                try:
                    fig = pickle.load(stream)
                except EOFError:  # no more figures
                    break
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
