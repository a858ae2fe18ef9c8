"""Figures drawn by processes of their own while the design goes on in this one.

matplotlib's import (about 0.35 s) and its drawing run Python code under the
interpreter lock; on threads they only take turns with the design's own
Python. Two forked processes draw instead: the first imports matplotlib
while the library optimises in the parent, then forks the second, so the
import is paid once and both start with it done. Each draws one figure at a
time, writes its files and hands back the picture for report.pdf
(:class:`talvek.figures.picture.Picture`), so the parent never imports matplotlib.

Jobs and results travel as files in a private temporary folder; the pipes
carry only their names, so neither side ever waits on a full pipe. A worker
ends when its pipe closes, which happens too when the parent dies.
"""

from __future__ import annotations

import gc
import os
import pickle
import select
import shutil
import struct
import tempfile
from pathlib import Path

__all__ = ["FigureWorkers"]

_HEAD = struct.Struct("<I")


def _send(fd: int, message) -> None:
    data = pickle.dumps(message)
    data = _HEAD.pack(len(data)) + data
    while data:
        data = data[os.write(fd, data):]


def _receive(fd: int):
    """The next message on ``fd``, or None at its end."""
    def exactly(n: int) -> bytes | None:
        chunks, left = [], n
        while left:
            chunk = os.read(fd, left)
            if not chunk:
                return None
            chunks.append(chunk)
            left -= len(chunk)
        return b"".join(chunks)

    head = exactly(_HEAD.size)
    if head is None:
        return None
    body = exactly(_HEAD.unpack(head)[0])
    return None if body is None else pickle.loads(body)


def _draw(folder: Path, name: str):
    """Run one job: draw the figure, write its files, keep its picture. Returns the result file."""
    from ..figures.style import save

    job = folder / f"{name}.job"
    with open(job, "rb") as f:
        make, stem, formats, args, kwargs = pickle.load(f)
    job.unlink()  # the folder holds only what is in flight
    try:
        result = save(make(*args, **kwargs), stem, formats)
    except Exception as e:  # raised again in the parent
        try:
            pickle.dumps(e)
            result = e
        except Exception:
            result = RuntimeError(f"{type(e).__name__}: {e}")
    path = folder / f"{name}.result"
    with open(path, "wb") as f:
        pickle.dump(result, f)
    return path.name


def _serve(folder: Path, jobs: int, results: int) -> None:
    while True:
        name = _receive(jobs)
        if name is None:
            return
        _send(results, _draw(folder, name))
        gc.collect()  # between figures, while the parent has the result, not during one


def _workers(folder: Path, ends: list[tuple[int, int]]) -> None:
    """The first worker: import matplotlib, fork the others, serve the first pair of pipes. Never returns."""
    status = 1
    try:
        from ..figures import style

        style.warm()
        # A figure makes some hundred thousand objects; the collector would scan the
        # modules' objects again and again meanwhile (a tenth of the drawing time).
        # Those stay for good, so they are frozen, and the rest collected between figures.
        gc.freeze()
        gc.disable()
        k, children = 0, []
        for other in range(1, len(ends)):
            pid = os.fork()
            if pid == 0:
                k, children = other, []
                break
            children.append(pid)
        for j, pair in enumerate(ends):
            if j != k:
                for fd in pair:
                    os.close(fd)
        _serve(folder, *ends[k])
        for pid in children:  # so that the parent's accounts (and its wait) include them
            os.waitpid(pid, 0)
        if k == 0:  # the pipes are closed: the parent is done with the folder, or was killed
            shutil.rmtree(folder, ignore_errors=True)
        status = 0
    except BaseException:  # an interrupt or a broken pipe: the parent reports what it misses
        pass
    finally:
        os._exit(status)


class FigureWorkers:
    """Processes that draw figures: :meth:`submit` as many as wanted, then :meth:`finish` once.

    Parameters
    ----------
    formats : tuple of str
        The file formats each figure is written in (``png``, ``svg``, ``pdf``).
    count : int
        How many processes draw at once.
    """

    def __init__(self, formats=("png",), count: int = 2):
        self.formats = tuple(formats)
        shm = Path("/dev/shm")
        self._folder = Path(tempfile.mkdtemp(prefix="talvek-figures-",
                                             dir=shm if shm.is_dir() and os.access(shm, os.W_OK) else None))
        pipes = [(os.pipe(), os.pipe()) for _ in range(count)]
        # What exists now is shared with the drawing processes until written to; the
        # collector would write to every object's header (and copy its page) on either side.
        gc.freeze()
        self._pid = os.fork()
        if self._pid == 0:
            for (_, job_w), (result_r, _) in pipes:
                os.close(job_w)
                os.close(result_r)
            _workers(self._folder, [(job_r, result_w) for (job_r, _), (_, result_w) in pipes])
        for (job_r, _), (_, result_w) in pipes:
            os.close(job_r)
            os.close(result_w)
        self._jobs = [job_w for (_, job_w), _ in pipes]
        self._results = [result_r for _, (result_r, _) in pipes]
        self._busy: list[str | None] = [None] * count
        self._waiting: list[str] = []
        self.figures: dict = {}
        self._failures: list[BaseException] = []

    def submit(self, name: str, make, stem, *args, **kwargs) -> None:
        """Draw ``make(*args, **kwargs)`` (a module-level function) and write it as ``stem.<format>``
        (no file when ``stem`` is None)."""
        with open(self._folder / f"{name}.job", "wb") as f:
            pickle.dump((make, None if stem is None else str(stem), self.formats, args, kwargs), f,
                        protocol=pickle.HIGHEST_PROTOCOL)
        self._waiting.append(name)
        self._dispatch()

    def _dispatch(self) -> None:
        for k, busy in enumerate(self._busy):
            if busy is None and self._waiting:
                self._busy[k] = self._waiting.pop(0)
                _send(self._jobs[k], self._busy[k])

    def finish(self) -> dict:
        """Wait for every figure submitted; raise the first failure, if any. Returns their pictures by name."""
        while any(self._busy):
            ready, _, _ = select.select([self._results[k] for k, b in enumerate(self._busy) if b], [], [])
            for fd in ready:
                k = self._results.index(fd)
                name, self._busy[k] = self._busy[k], None
                reply = _receive(fd)
                if reply is None:
                    self._failures.append(RuntimeError(f"the process drawing the {name} figure ended"))
                    self._waiting.clear()
                    continue
                with open(self._folder / reply, "rb") as f:
                    result = pickle.load(f)
                (self._folder / reply).unlink()
                if isinstance(result, BaseException):
                    self._failures.append(result)
                else:
                    self.figures[name] = result
            self._dispatch()
        if self._failures:
            failure, self._failures = self._failures[0], []
            raise failure
        return self.figures

    def close(self) -> None:
        """End the processes (their pipes close) and remove the temporary folder."""
        for fd in self._jobs + self._results:
            os.close(fd)
        self._jobs, self._results = [], []
        if self._pid:
            os.waitpid(self._pid, 0)
            self._pid = 0
        shutil.rmtree(self._folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.close()
