"""Figures drawn on threads while the caller goes on."""

from __future__ import annotations

import threading

from .style import save

__all__ = ["FigureThreads"]


class FigureThreads:
    """Figures drawn on threads while the library predicts.

    The library lets go of the interpreter lock while it predicts, so a
    figure handed over before a prediction is mostly drawn when the
    prediction ends. Each thread draws its own figure with a canvas of its
    own; no pyplot state is shared. The pixels each figure was drawn as are
    kept (``figures``) so that the report can reuse them.
    """

    def __init__(self, formats=("png",)):
        self.formats = tuple(formats)
        self.figures: dict = {}   # name -> Picture of the Agg pixels
        self._threads: list[threading.Thread] = []
        self._failures: list[BaseException] = []

    def submit(self, name: str, make, stem, *args, **kwargs) -> None:
        """Start drawing ``make(*args, **kwargs)`` and writing it as ``stem.<format>``."""
        def draw():
            try:
                self.figures[name] = save(make(*args, **kwargs), stem, self.formats)
            except BaseException as e:  # raised again by finish, in the caller's thread
                self._failures.append(e)

        thread = threading.Thread(target=draw, name=f"figure {name}", daemon=True)
        thread.start()
        self._threads.append(thread)

    def finish(self) -> dict:
        """Wait for every figure submitted; raise the first failure, if any. Returns their pictures by name."""
        for thread in self._threads:
            thread.join()
        self._threads = []
        if self._failures:
            failure, self._failures = self._failures[0], []
            raise failure
        return self.figures
