"""Loading a venue's model while ``talvek design`` starts up.

The command's first tenth of a second or more goes to importing numpy and the
schema validator, on one core. The model archive the venue names can be read
in the meantime on a second thread: the library keeps the last model it
loaded, so the design's own selection of that model then costs nothing.

This is only a head start. Whatever does not work out here (an unreadable or
invalid venue, an unknown model, no library) is dropped silently and left to
the command, which reports it as it always does.
"""

from __future__ import annotations

import json
import os
import stat
import sys
import threading

__all__ = ["start"]

# The options of `talvek design`, by how many values follow them.
_WITH_VALUE = {"-o", "--output", "--name", "--library", "--models"}
_WITH_TWO_VALUES = {"--grid"}
_FLAGS = {"--no-plots", "--no-voicing", "--no-refinement"}
_LARGEST_VENUE = 1 << 20  # bytes; a venue file is a few kilobytes


def _design_arguments(argv: list[str]) -> dict | None:
    """The venue path and the --library / --models values of a `design` command line.

    None for any other command, or for anything the scan is not sure of (an
    abbreviated or unknown option): the head start must load exactly the model
    the command will ask for, from the folder it will use.
    """
    if not argv or argv[0] != "design":
        return None
    found = {"venue": None, "--library": None, "--models": None}
    i = 1
    while i < len(argv):
        word = argv[i]
        name, equals, value = word.partition("=")
        if word.startswith("--") and equals and name in _WITH_VALUE:
            found[name] = value
        elif word in _WITH_VALUE and i + 1 < len(argv):
            found[word] = argv[i + 1]
            i += 1
        elif word in _WITH_TWO_VALUES:
            i += 2
        elif word in _FLAGS:
            pass
        elif word.startswith("-") or found["venue"] is not None:
            return None
        else:
            found["venue"] = word
        i += 1
    return found if found["venue"] is not None else None


def _venue_model(path: str):
    """The "model" field of the venue file, or the list of its columns' models, or None.

    Only a regular file is read: a pipe (``/dev/stdin``) must be left whole
    for the command.
    """
    if not stat.S_ISREG(os.stat(path).st_mode):
        return None
    with open(path, "rb") as f:
        data = json.loads(f.read(_LARGEST_VENUE))  # a longer one fails here, cut short
    if not isinstance(data, dict):
        return None
    if isinstance(data.get("columns"), list):
        return [c.get("model") for c in data["columns"] if isinstance(c, dict)]
    return data.get("model")


def _valid(model) -> bool:
    return isinstance(model, (str, int)) and not isinstance(model, bool)


def _load(model, library, models) -> None:
    try:
        from .binding import Library
        from .models import find_models_dir, inside_models_dir, model_info

        lib = Library(library)
        folder = find_models_dir(models, lib.path)
        # A system designs its columns in the order of their models' numbers: the first one.
        number = min(model_info(m, folder).number for m in (model if isinstance(model, list) else [model]))
        lib.matlab_init()
        # The main thread is meanwhile only importing, from absolute paths.
        with inside_models_dir(folder):
            lib.setup_speaker(number)
    except Exception:  # the command will meet the same problem and report it
        pass


def start(argv: list[str]) -> threading.Thread | None:
    """Start loading the model of a `talvek design` venue; join the thread before anything else runs.

    Nothing is started for other commands, or when the import path holds a
    relative folder (the thread changes the current directory for a moment).
    """
    args = _design_arguments(argv)
    if args is None or not all(p and os.path.isabs(p) for p in sys.path):
        return None
    try:
        model = _venue_model(args["venue"])
    except (OSError, ValueError, RecursionError):
        return None
    if not (_valid(model) or isinstance(model, list) and model and all(_valid(m) for m in model)):
        return None
    thread = threading.Thread(target=_load, args=(model, args["--library"], args["--models"]),
                              name="talvek-preload", daemon=True)
    thread.start()
    return thread
