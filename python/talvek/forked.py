"""Work shared with one forked child process.

The library holds one design per process and its calls release the
interpreter lock, but the host's Python between them does not: a second core
helps only through a second process. A child forked from the caller inherits
the loaded model and everything else, runs every other task and sends its
results back through a pipe. Only for single-threaded callers on POSIX.
"""

from __future__ import annotations

import os
import pickle


def map_shared(fn, tasks, *, parallel: bool = True) -> list:
    """``[fn(t) for t in tasks]``, the odd-numbered tasks in a forked child when ``parallel``.

    Results come back in task order and are the ones the calls give in this
    process (each call depends on its task alone). If the child fails, its
    tasks run here after all. The library's current design afterwards is that
    of the last task run here.
    """
    tasks = list(tasks)
    if not parallel or len(tasks) < 2 or not hasattr(os, "fork"):
        return [fn(t) for t in tasks]
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: its share, then leave without running any cleanup of the parent's
        status = 1
        try:
            os.close(read_end)
            data = pickle.dumps([fn(t) for t in tasks[1::2]])
            with os.fdopen(write_end, "wb") as out:
                out.write(data)
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    mine = [fn(t) for t in tasks[0::2]]
    with os.fdopen(read_end, "rb") as pipe:
        data = pipe.read()
    _, status = os.waitpid(pid, 0)
    theirs = pickle.loads(data) if status == 0 and data else [fn(t) for t in tasks[1::2]]
    results = [None] * len(tasks)
    results[0::2], results[1::2] = mine, theirs
    return results
