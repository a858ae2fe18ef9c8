"""Figures drawn by processes of their own while the design goes on in this one.

matplotlib's import (about 0.35 s) and its drawing run Python code under the
interpreter lock; on threads they only take turns with the design's own
Python. Two forked processes draw instead: the first imports matplotlib
while the library optimises in the parent, then forks the second, so the
import is paid once and both start with it done. Each draws one figure at a
time, writes its files and hands back the picture for report.pdf
(:class:`talvek.figures.picture.Picture`), so the parent never imports matplotlib.

Jobs travel as files in a private temporary folder, and their names on
one pipe that every drawing process reads: each name is a record of one
fixed size, shorter than what a pipe writes at once, so it is written and
read whole, and whichever process is free takes the next job without this
process handing jobs out. Each process answers on a pipe of its own. A
process ends when the job pipe closes, which happens too when this process dies.
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
_RECORD = 64  # bytes of a job's name on the job pipe: far below PIPE_BUF (4096), so never split


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


def _job_record(name: str) -> bytes:
    data = name.encode()
    if len(data) > _RECORD or b"\0" in data:
        raise ValueError(f"figure job name {name!r}: at most {_RECORD} bytes, no NUL")
    return data.ljust(_RECORD, b"\0")


def _next_job(fd: int) -> str | None:
    """The name of the next job on the shared job pipe, or None once it is closed."""
    data = os.read(fd, _RECORD)  # every record was written in one piece, so it is read in one
    return data.rstrip(b"\0").decode() if data else None


def _draw(folder: Path, name: str):
    """Run one job: draw the figure, write its files, keep its picture as ``name.result``. Returns ``name``."""
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
    with open(folder / f"{name}.result", "wb") as f:
        pickle.dump(result, f)
    return name


def _serve(folder: Path, jobs: int, results: int) -> None:
    while (name := _next_job(jobs)) is not None:
        _send(results, _draw(folder, name))
        gc.collect()  # between figures, while the parent has the result, not during one


def _workers(folder: Path, jobs: int, results: list[int]) -> None:
    """The first worker: import matplotlib, fork the others, serve. Never returns."""
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
        for other in range(1, len(results)):
            pid = os.fork()
            if pid == 0:
                k, children = other, []
                break
            children.append(pid)
        for j, fd in enumerate(results):
            if j != k:
                os.close(fd)
        _serve(folder, jobs, results[k])
        for pid in children:  # so that the parent's accounts (and its wait) include them
            os.waitpid(pid, 0)
        if k == 0:  # the job pipe is closed: the parent is done with the folder, or was killed
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
        job_r, self._jobs = os.pipe()
        answers = [os.pipe() for _ in range(count)]
        # What exists now is shared with the drawing processes until written to; the
        # collector would write to every object's header (and copy its page) on either side.
        gc.freeze()
        self._pid = os.fork()
        if self._pid == 0:
            os.close(self._jobs)
            for r, _ in answers:
                os.close(r)
            _workers(self._folder, job_r, [w for _, w in answers])
        os.close(job_r)
        for _, w in answers:
            os.close(w)
        self._results = [r for r, _ in answers]
        self._pending: set[str] = set()
        self._ended = False
        self.figures: dict = {}

    def submit(self, name: str, make, stem, *args, **kwargs) -> None:
        """Draw ``make(*args, **kwargs)`` (a module-level function) and write it as ``stem.<format>``
        (no file when ``stem`` is None). The first free process takes it."""
        if self._ended:
            raise RuntimeError("the processes drawing the figures have ended")
        record = _job_record(name)
        with open(self._folder / f"{name}.job", "wb") as f:
            pickle.dump((make, None if stem is None else str(stem), self.formats, args, kwargs), f,
                        protocol=pickle.HIGHEST_PROTOCOL)
        self._pending.add(name)
        os.write(self._jobs, record)  # one write, whole: the pipe holds far more than a design's jobs

    def finish(self) -> dict:
        """Wait for every figure submitted; raise the first failure, if any. Returns their pictures by name."""
        failures = []
        while self._pending:
            ready, _, _ = select.select(self._results, [], [])
            for fd in ready:
                name = _receive(fd)
                if name is None:  # a process ended with jobs still to draw: none of them can be trusted
                    self._ended = True
                    missing, self._pending = sorted(self._pending), set()
                    raise RuntimeError(f"a process drawing the figures ended; not drawn: {', '.join(missing)}")
                self._pending.discard(name)
                path = self._folder / f"{name}.result"
                with open(path, "rb") as f:
                    result = pickle.load(f)
                path.unlink()
                if isinstance(result, BaseException):
                    failures.append(result)
                else:
                    self.figures[name] = result
        if failures:
            raise failures[0]
        return self.figures

    def close(self) -> None:
        """End the processes (their job pipe closes) and remove the temporary folder."""
        for fd in ([self._jobs] if self._jobs is not None else []) + self._results:
            os.close(fd)
        self._jobs, self._results = None, []
        if self._pid:
            os.waitpid(self._pid, 0)
            self._pid = 0
        shutil.rmtree(self._folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.close()
