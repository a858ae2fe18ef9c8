"""ctypes binding over ``libtalvek.so``: record layouts, prototypes, status codes.

This module is the thin, faithful layer: one Python method per export, the
C records as :class:`ctypes.Structure` classes, and every failure status turned
into a :class:`TalvekError` that carries the library's own error text. The
numpy-shaped convenience layer lives in :mod:`talvek.api`.

The library keeps one process-wide state (error text, model name, SFIO record,
steering design). Loading the same file twice gives the same state, so a
:class:`Library` object is a handle, not an independent instance.
"""

from __future__ import annotations

import ctypes
import os
import shutil
import subprocess
import sys
import sysconfig
from ctypes import POINTER, c_char_p, c_double, c_int32
from pathlib import Path

from ._version import __version__

__all__ = [
    "SFIOChannelSet",
    "SFIO",
    "SFResponseRequest",
    "TalvekError",
    "Library",
    "find_library",
    "install_prefixes",
    "EXPORTS",
]

LIBRARY_NAME = "libtalvek.so"

# Status codes of the exports.
OK = 1
FAILED = -1
INIT_FAILED = -2

_DoublePtr = POINTER(c_double)
_DoublePtrPtr = POINTER(_DoublePtr)


class SFIOChannelSet(ctypes.Structure):
    """Steering responses of one driver section: ``re[m][n] + j im[m][n]``."""

    _fields_ = [
        ("nFreq", c_int32),
        ("nChan", c_int32),
        ("freq", _DoublePtr),
        ("re", _DoublePtrPtr),
        ("im", _DoublePtrPtr),
    ]


class SFIO(ctypes.Structure):
    """The steering-filter input/output record; ``arraytype`` 0 means empty."""

    _fields_ = [
        ("wf", SFIOChannelSet),
        ("tw", SFIOChannelSet),
        ("arraytype", c_int32),
    ]


class SFResponseRequest(ctypes.Structure):
    """Request for ``Talvek_SF_Response``; the host owns every array."""

    _fields_ = [
        ("nFreq", c_int32),
        ("nChanWf", c_int32),
        ("nChanTw", c_int32),
        ("freq", _DoublePtr),
        ("reWf", _DoublePtrPtr),
        ("imWf", _DoublePtrPtr),
        ("reTw", _DoublePtrPtr),
        ("imTw", _DoublePtrPtr),
    ]


# Every export with its result type and argument types, in the header's order.
EXPORTS = {
    "Talvek_MatLabInit": (c_int32, []),
    "Talvek_MatLabClose": (None, []),
    "Talvek_Initial_Check": (c_int32, []),
    "Talvek_Get_Error": (c_int32, [c_char_p, c_int32]),
    "Talvek_Get_Frequencies": (c_int32, [c_int32, POINTER(c_int32), _DoublePtr]),
    "Talvek_Get_Nchannels": (c_int32, [POINTER(c_int32), POINTER(c_int32)]),
    "Talvek_Setup_Speaker": (c_int32, [c_double]),
    "Talvek_Get_SFIO": (c_int32, [POINTER(SFIO)]),
    "Talvek_Get_SFIO_pointer": (c_int32, [POINTER(POINTER(SFIO))]),
    "Talvek_Put_SFIO_and_design_SFs": (c_int32, [POINTER(SFIO)]),
    "Talvek_Optimizer": (
        c_int32,
        [c_double, c_double, c_int32, c_int32, _DoublePtr, c_double, c_double, c_double, c_double, c_double],
    ),
    "Talvek_Greens": (
        c_int32,
        [c_double, c_double, _DoublePtr, _DoublePtr, c_int32, c_double, c_double, _DoublePtr, _DoublePtr],
    ),
    "Talvek_SF_Response": (c_int32, [POINTER(SFResponseRequest)]),
    "Talvek_Write_Files": (c_int32, [c_char_p, c_char_p]),
}


class TalvekError(RuntimeError):
    """A failure reported by the library.

    Attributes
    ----------
    export : str
        The export that failed.
    status : int
        Its status code (-1, or -2 from ``Talvek_MatLabInit``).
    text : str
        The library's error text for this failure.
    """

    def __init__(self, export: str, status: int, text: str):
        super().__init__(text or f"{export} failed with status {status}")
        self.export = export
        self.status = status
        self.text = text


# The runtime name carries the major version, as the library's SONAME does.
_MAJOR = __version__.split(".")[0]
LIBRARY_NAMES = ((f"{LIBRARY_NAME}.{_MAJOR}",) if _MAJOR.isdigit() else ()) + (LIBRARY_NAME,)


def source_checkout() -> Path | None:
    """The source tree this package runs from (``<tree>/python/talvek``), or None when installed."""
    tree = Path(__file__).resolve().parents[2]
    return tree if (tree / "CMakeLists.txt").is_file() and (tree / "python" / "talvek").is_dir() else None


def prefix_of(path: str | os.PathLike) -> Path | None:
    """The installation prefix of a file below ``<prefix>/lib`` or ``lib64``, or None.

    ``/usr/local/lib/libtalvek.so.0`` and ``/usr/lib/x86_64-linux-gnu/libtalvek.so.0``
    give ``/usr/local`` and ``/usr``; the package file
    ``<venv>/lib/python3.11/site-packages/talvek/binding.py`` gives ``<venv>``.
    """
    for parent in list(Path(path).parents)[:4]:
        if parent.name in ("lib", "lib64"):
            return parent.parent
    return None


def install_prefixes() -> list[Path]:
    """Where an installed Talvek lives: the Python environment's prefix, then the
    prefix this package was installed into (``/usr/local`` for a system-wide pip
    install, ``~/.local`` for ``--user``), without repeats."""
    prefixes = [Path(sys.prefix)]
    if source_checkout() is None:
        prefixes.append(prefix_of(Path(__file__).resolve()))
    unique = []
    for p in prefixes:
        if p is not None and p not in unique:
            unique.append(p)
    return unique


def install_command() -> str:
    """How to install the library and models where this host finds them by itself."""
    if sys.prefix != sys.base_prefix:  # a virtual environment
        return f"`cmake --install build --prefix {sys.prefix}`"
    return "`sudo cmake --install build && sudo ldconfig` (into /usr/local)"


def _library_dirs(prefix: Path) -> list[Path]:
    # CMake's GNUInstallDirs gives lib/ for most prefixes and lib/<multiarch> for /usr on Debian.
    dirs = [prefix / "lib", prefix / "lib64"]
    multiarch = sysconfig.get_config_var("MULTIARCH")
    if multiarch:
        dirs.append(prefix / "lib" / multiarch)
    return dirs


def _ld_cache() -> Path | None:
    """The library as the dynamic loader's cache lists it (``ldconfig -p``), or None."""
    ldconfig = shutil.which("ldconfig") or "/sbin/ldconfig"
    try:
        listing = subprocess.run([ldconfig, "-p"], capture_output=True, text=True, timeout=10).stdout
    except (OSError, subprocess.SubprocessError):
        return None
    for line in listing.splitlines():
        name, _, target = line.strip().partition(" => ")
        if name.split(" ")[0] in LIBRARY_NAMES and Path(target).is_file():
            return Path(target)
    return None


def find_library(path: str | os.PathLike | None = None) -> Path:
    """Locate ``libtalvek.so``.

    Order: the explicit ``path`` (a file, or a folder holding the library);
    the environment variable ``TALVEK_LIBRARY``; the installation prefixes of
    :func:`install_prefixes` (``lib/``, ``lib64/``, ``lib/<multiarch>/``); the
    system's library search path (``LD_LIBRARY_PATH``, then the loader's cache);
    last the build trees of the source checkout this package runs from
    (``build/`` first, then the most recently built ``build*/``). In each folder
    the versioned runtime name ``libtalvek.so.<major>`` comes before ``libtalvek.so``.

    Raises
    ------
    FileNotFoundError
        With every place that was searched.
    """
    for given in (path, os.environ.get("TALVEK_LIBRARY")):
        if given:
            candidate = Path(given)
            if candidate.is_dir():
                candidate = candidate / LIBRARY_NAME
            if candidate.is_file():
                return candidate.resolve()
            # An explicit choice that does not exist is an error, not a hint.
            raise FileNotFoundError(f"no {LIBRARY_NAME} at {candidate}")
    looked = ["TALVEK_LIBRARY (not set)"]
    folders = [d for prefix in install_prefixes() for d in _library_dirs(prefix)]
    folders += [Path(d) for d in os.environ.get("LD_LIBRARY_PATH", "").split(os.pathsep) if d]
    for folder in folders:
        for name in LIBRARY_NAMES:
            if (folder / name).is_file():
                return (folder / name).resolve()
        looked.append(str(folder))
    cached = _ld_cache()
    if cached is not None:
        return cached.resolve()
    looked.append("the loader's cache (ldconfig -p)")
    tree = source_checkout()
    if tree is not None:
        preferred = tree / "build" / LIBRARY_NAME
        if preferred.is_file():
            return preferred.resolve()
        built = sorted(tree.glob(f"build*/{LIBRARY_NAME}"), key=lambda p: p.stat().st_mtime, reverse=True)
        if built:
            return built[0].resolve()
        looked.append(f"{tree}/build*/")
    raise FileNotFoundError(
        f"cannot find {LIBRARY_NAME}; looked in {', '.join(looked)}. Install it with {install_command()}, "
        "build it with `make`, or name it with --library / TALVEK_LIBRARY"
    )


class Library:
    """Handle on the loaded library with one method per export.

    Methods return plain values and raise :class:`TalvekError` for a failure
    status. Pointer arguments are ctypes objects; :mod:`talvek.api` builds them
    from numpy arrays.
    """

    def __init__(self, path: str | os.PathLike | None = None):
        self.path = find_library(path)
        self._dll = ctypes.CDLL(str(self.path))
        for name, (restype, argtypes) in EXPORTS.items():
            fn = getattr(self._dll, name)
            fn.restype = restype
            fn.argtypes = argtypes

    def function(self, name: str):
        """The raw ctypes function of an export, for callers that want statuses."""
        return getattr(self._dll, name)

    # ------------------------------------------------------------ error text
    def error_text(self) -> str:
        """The library's last error text, read with the size-0 then length+1 protocol."""
        get_error = self._dll.Talvek_Get_Error
        length = get_error(None, 0)
        buffer = ctypes.create_string_buffer(length + 1)
        get_error(buffer, length + 1)
        return buffer.raw[:length].decode("utf-8", errors="replace")

    def _check(self, name: str, status: int) -> int:
        if status in (FAILED, INIT_FAILED):
            raise TalvekError(name, status, self.error_text())
        return status

    def _call(self, name: str, *args) -> int:
        return self._check(name, getattr(self._dll, name)(*args))

    # ------------------------------------------------------------ set-up
    def initial_check(self) -> None:
        self._call("Talvek_Initial_Check")

    def matlab_init(self) -> None:
        self._call("Talvek_MatLabInit")

    def matlab_close(self) -> None:
        self._dll.Talvek_MatLabClose()

    def setup_speaker(self, model_number: float) -> None:
        self._call("Talvek_Setup_Speaker", float(model_number))

    def get_frequencies(self, capacity: int, frequencies) -> int:
        """Fill ``frequencies`` (a double array of ``capacity``); returns the count.

        A too small capacity is not a library failure (the error text is left
        alone); it raises :class:`ValueError` with the needed count.
        """
        count = c_int32(0)
        status = self._dll.Talvek_Get_Frequencies(capacity, ctypes.byref(count), frequencies)
        if status != OK:
            raise ValueError(f"frequency grid needs {count.value} points, capacity is {capacity}")
        return count.value

    def frequency_count(self) -> int:
        count = c_int32(0)
        self._dll.Talvek_Get_Frequencies(0, ctypes.byref(count), None)
        return count.value

    # ------------------------------------------------------------ designs
    def optimizer(self, height, tilt, vi_count, vi, p8=0.0, p9=0.0) -> None:
        # p6, p7, p10 and the reserved count are not read by the library.
        self._call("Talvek_Optimizer", height, tilt, vi_count, 0, vi, 0.0, 0.0, p8, p9, 0.0)

    def put_sfio_and_design(self, record: SFIO) -> None:
        self._call("Talvek_Put_SFIO_and_design_SFs", ctypes.byref(record))

    def get_sfio(self, record: SFIO) -> None:
        """Copy the library's record into ``record`` (zeroed before its first use)."""
        self._call("Talvek_Get_SFIO", ctypes.byref(record))

    def get_sfio_pointer(self) -> SFIO:
        """The library's own record (valid until the next design)."""
        pointer = POINTER(SFIO)()
        self._call("Talvek_Get_SFIO_pointer", ctypes.byref(pointer))
        return pointer.contents

    def get_nchannels(self) -> tuple[int, int]:
        a, b = c_int32(0), c_int32(0)
        self._call("Talvek_Get_Nchannels", ctypes.byref(a), ctypes.byref(b))
        return a.value, b.value

    # ------------------------------------------------------------ read-outs
    def greens(self, height, tilt, x, y, count, index_a, index_b, out) -> float:
        headroom = c_double(0.0)
        self._call("Talvek_Greens", height, tilt, x, y, count, float(index_a), float(index_b), out,
                   ctypes.byref(headroom))
        return headroom.value

    def sf_response(self, request: SFResponseRequest) -> None:
        self._call("Talvek_SF_Response", ctypes.byref(request))

    def write_files(self, folder: str, name: str) -> None:
        self._call("Talvek_Write_Files", os.fsencode(folder), os.fsencode(name))
