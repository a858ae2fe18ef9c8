"""numpy-shaped interface to the steering library.

A :class:`Talvek` session chooses a model, optimises for a venue, reads the
SFIO record as numpy arrays, designs from a stored record, and evaluates the
steering filters and the predicted sound field::

    >>> tv = Talvek()                                  # finds the library and models
    >>> tv.select("Vexal32")
    >>> rec = tv.optimise(2.0, 0.0, venue_table)       # (n, 7) venue items
    >>> rec.save("church.npz")
    >>> power, headroom_db = tv.greens(x, z, first=1, last=215)

The library opens model archives relative to the current directory; the
session changes into its models folder only around the calls that may load
a model, and always changes back.
"""

from __future__ import annotations

import ctypes
import os
from ctypes import POINTER, c_double
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from .binding import SFIO, Library, SFIOChannelSet, SFResponseRequest, TalvekError
from .models import MODELS, ModelInfo, find_models_dir, inside_models_dir, model_for_arraytype, model_info

__all__ = ["ModelInfo", "MODELS", "model_info", "SFIORecord", "Talvek", "find_models_dir", "TalvekError"]

_DoublePtr = POINTER(c_double)


# ---------------------------------------------------------------- the SFIO record

def _read_channel_set(cs: SFIOChannelSet) -> tuple[np.ndarray, np.ndarray]:
    """Copy a channel set out of library memory: (freq (N,), H (M, N) complex)."""
    n, m = cs.nFreq, cs.nChan
    if n <= 0 or not cs.freq:
        return np.zeros(0), np.zeros((max(m, 0), 0), dtype=complex)
    freq = np.ctypeslib.as_array(cs.freq, (n,)).copy()
    H = np.empty((m, n), dtype=complex)
    for k in range(m):
        H[k].real = np.ctypeslib.as_array(cs.re[k], (n,))
        H[k].imag = np.ctypeslib.as_array(cs.im[k], (n,))
    return freq, H


class _HostChannelSet:
    """A channel set pointing into numpy arrays; keeps them alive."""

    def __init__(self, freq: np.ndarray, H: np.ndarray):
        self.freq = np.ascontiguousarray(freq, dtype=float)
        self.re = np.ascontiguousarray(H.real, dtype=float)
        self.im = np.ascontiguousarray(H.imag, dtype=float)
        m, n = self.re.shape
        self.re_rows = _row_pointers(self.re)
        self.im_rows = _row_pointers(self.im)
        self.struct = SFIOChannelSet(
            n if m else len(self.freq), m,
            self.freq.ctypes.data_as(_DoublePtr) if self.freq.size else None,
            self.re_rows if m else None,
            self.im_rows if m else None,
        )


def _row_pointers(a: np.ndarray):
    """Array of pointers to the rows of a C-contiguous 2-D double array."""
    rows = (_DoublePtr * a.shape[0])()
    base = a.ctypes.data
    for k in range(a.shape[0]):
        rows[k] = ctypes.cast(base + k * a.strides[0], _DoublePtr)
    return rows


@dataclass
class SFIORecord:
    """The SFIO record as numpy arrays.

    Attributes
    ----------
    arraytype : int
        Array type of the model the record was made for (= model number).
    wf_freq : (N,) ndarray
        Frequencies of the low-frequency section, Hz.
    wf : (M, N) complex ndarray
        Steering response of each woofer channel (row) at each frequency.
    tw_freq, tw : ndarray
        The same for the tweeter section; empty for one-way models.
    venue : dict
        Optional context kept with the record (``talvek design`` stores the
        venue file's ``text`` and ``source``) so that a redesign can predict
        the same venue again.
    model_name : str
        Name of the model the record was made for. The array type alone does
        not say it: a column of the user's own shares the array type of a
        bundled model. "" in records that name none (the bundled model of the
        array type is meant).
    models_dir : path or None
        Models folder in which :attr:`model` looks the name up (None: the one
        :func:`find_models_dir` finds); not stored.
    """

    arraytype: int
    wf_freq: np.ndarray
    wf: np.ndarray
    tw_freq: np.ndarray = field(default_factory=lambda: np.zeros(0))
    tw: np.ndarray = field(default_factory=lambda: np.zeros((0, 0), dtype=complex))
    venue: dict = field(default_factory=dict)
    model_name: str = ""
    models_dir: Path | None = field(default=None, compare=False, repr=False)

    @property
    def model(self) -> ModelInfo:
        """The model the record was made for, bundled or from the models folder's table.

        Raises
        ------
        ValueError
            When that model is not installed in the models folder, or its
            array type is not the record's.
        """
        return self.model_in(self.models_dir)

    def model_in(self, models_dir) -> ModelInfo:
        """:attr:`model`, looked up in ``models_dir``."""
        if not self.model_name:
            return model_for_arraytype(self.arraytype)
        try:
            info = model_info(self.model_name, models_dir)
        except ValueError:
            where = f"models folder {models_dir}" if models_dir is not None else "the models folder"
            raise ValueError(f"the record was made for model {self.model_name!r}, which is not installed "
                             f"in {where}") from None
        if info.arraytype != self.arraytype:
            raise ValueError(f"model {info.name!r} has array type {info.arraytype}, the record "
                             f"{self.arraytype}: it was made for another column of that name")
        return info

    @classmethod
    def from_struct(cls, record: SFIO) -> "SFIORecord":
        wf_freq, wf = _read_channel_set(record.wf)
        tw_freq, tw = _read_channel_set(record.tw)
        return cls(int(record.arraytype), wf_freq, wf, tw_freq, tw)

    def to_struct(self):
        """A host SFIO pointing into this record's arrays, and the owner to keep alive."""
        wf = _HostChannelSet(self.wf_freq, self.wf)
        tw = _HostChannelSet(self.tw_freq, self.tw)
        record = SFIO(wf.struct, tw.struct, int(self.arraytype))
        return record, (wf, tw)

    def save(self, path: str | os.PathLike) -> None:
        """Write the record (and its venue context) to a ``.npz`` file."""
        extra = {f"venue_{k}": np.asarray(v) for k, v in self.venue.items()}
        name = self.model_name or model_for_arraytype(self.arraytype).name
        np.savez(path, arraytype=np.int32(self.arraytype), model=np.str_(name),
                 wf_freq=self.wf_freq, wf=self.wf, tw_freq=self.tw_freq, tw=self.tw, **extra)

    @classmethod
    def load(cls, path: str | os.PathLike, models_dir=None) -> "SFIORecord":
        """Read a record written by :meth:`save`; ``models_dir`` as the attribute.

        Raises
        ------
        ValueError
            When the file is not such a record.
        """
        try:
            with np.load(path, allow_pickle=False) as data:
                arrays = {k: data[k] for k in data.files}
        except OSError as e:
            raise ValueError(f"{path}: cannot read SFIO record ({e.strerror or e})") from None
        except Exception as e:  # zip, pickle and format errors come in several types
            raise ValueError(f"{path}: not an SFIO record ({e})") from None
        missing = [k for k in ("arraytype", "wf_freq", "wf", "tw_freq", "tw") if k not in arrays]
        if missing:
            raise ValueError(f"{path}: not an SFIO record (missing {', '.join(missing)})")
        venue = {k[len("venue_"):]: v for k, v in arrays.items() if k.startswith("venue_")}
        try:
            name = str(arrays["model"]) if "model" in arrays else ""
            rec = cls(int(arrays["arraytype"]), arrays["wf_freq"].astype(float), arrays["wf"].astype(complex),
                      arrays["tw_freq"].astype(float), arrays["tw"].astype(complex), venue, name, models_dir)
        except (TypeError, ValueError) as e:
            raise ValueError(f"{path}: not an SFIO record ({e})") from None
        rec._validate(path)
        return rec

    def _validate(self, where) -> None:
        # Only the array type is checked here: whether the named model is
        # installed is the business of whoever uses the record (``model``).
        try:
            model_for_arraytype(self.arraytype)
        except ValueError:
            raise ValueError(f"{where}: SFIO record of array type {self.arraytype}, which no bundled model has") from None
        for name, f, H in (("wf", self.wf_freq, self.wf), ("tw", self.tw_freq, self.tw)):
            if H.ndim != 2 or f.ndim != 1 or (H.size and H.shape[1] != f.size):
                raise ValueError(f"{where}: SFIO section {name} has inconsistent shapes {H.shape} and {f.shape}")


# ---------------------------------------------------------------- the session

@dataclass(frozen=True)
class Mounting:
    height: float  # m, column reference point
    tilt: float    # degrees, positive aims upwards


class Talvek:
    """A session on the process-wide library state.

    Parameters
    ----------
    library : path, optional
        ``libtalvek.so`` or its folder; see :func:`talvek.binding.find_library`.
    models_dir : path, optional
        Folder of the ``<model>.bin`` archives; see :func:`find_models_dir`.
    check : bool
        Run the start-up self-check (all bundled archives present). The
        library requires it before anything else, so leave it on unless the
        folder is known to be incomplete.
    """

    def __init__(self, library=None, models_dir=None, *, check: bool = True):
        self.lib = Library(library)
        self.models_dir = find_models_dir(models_dir, self.lib.path)
        self.model: ModelInfo | None = None
        self.mounting: Mounting | None = None
        # Reused for every copy-out: the library frees its previous copy in it.
        self._host_record = SFIO()
        if check:
            self.check()
        self.lib.matlab_init()

    def _in_models_dir(self):
        return inside_models_dir(self.models_dir)

    def check(self) -> None:
        """Start-up self-check; raises :class:`TalvekError` naming a missing archive."""
        with self._in_models_dir():
            self.lib.initial_check()
        self.model = None  # the check empties the library's model name

    def frequencies(self) -> np.ndarray:
        """The library's output frequency grid, Hz, shape (215,)."""
        n = self.lib.frequency_count()
        out = np.empty(n)
        self.lib.get_frequencies(n, out.ctypes.data_as(_DoublePtr))
        return out

    def select(self, model: int | str | ModelInfo) -> ModelInfo:
        """Choose and load a model by number or name, bundled or from the models folder's table."""
        info = model if isinstance(model, ModelInfo) else model_info(model, self.models_dir)
        with self._in_models_dir():
            self.lib.setup_speaker(info.number)
        self.model = info
        return info

    def optimise(self, height: float, tilt: float, items, *, inactive_as_zero: bool = False,
                 woofer_iterations: int | None = None) -> SFIORecord:
        """Optimise the steering filters for a venue.

        Parameters
        ----------
        height : float
            Height of the column's reference point, m.
        tilt : float
            Tilt, degrees; positive aims the column upwards.
        items : (n, 7) array_like
            Venue items, one row each: x1, x2, z1, z2 (m), level1, level2
            (dB SPL at the two ends), active flag (non-zero = active).
        inactive_as_zero : bool, keyword-only
            Fit only the items' directions and give inactive items target 0,
            instead of fitting the whole half plane and leaving inactive items out.
        woofer_iterations : int, keyword-only
            Iterations of the woofer fit; None uses the model's own count.

        Returns
        -------
        SFIORecord
            The optimised steering responses.
        """
        if self.model is None:
            raise RuntimeError("choose a model with select() first")
        table = np.asfortranarray(np.asarray(items, dtype=float).reshape(-1, 7))
        # The library runs ceil(10 p9) iterations; n - 0.5 keeps the product
        # clear of an integer so rounding of n / 10 cannot add one.
        p9 = (woofer_iterations - 0.5) / 10.0 if woofer_iterations else 0.0
        with self._in_models_dir():
            self.lib.optimizer(float(height), float(tilt), table.shape[0],
                               table.ctypes.data_as(_DoublePtr), 1.0 if inactive_as_zero else 0.0, p9)
        self.mounting = Mounting(float(height), float(tilt))
        return self.record()

    def record(self, *, via_pointer: bool = False) -> SFIORecord:
        """The library's current SFIO record, copied into numpy arrays.

        ``via_pointer`` reads the library's own record in place
        (``Talvek_Get_SFIO_pointer``) instead of through a host copy.
        """
        if via_pointer:
            rec = SFIORecord.from_struct(self.lib.get_sfio_pointer())
        else:
            self.lib.get_sfio(self._host_record)
            rec = SFIORecord.from_struct(self._host_record)
        if self.model is not None and self.model.arraytype == rec.arraytype:
            rec.model_name = self.model.name
        rec.models_dir = self.models_dir
        return rec

    def redesign(self, record: SFIORecord) -> None:
        """Design the steering filters from a stored record, selecting the model it names.

        Raises
        ------
        ValueError
            When that model is not installed in this session's models folder.
        """
        info = record.model_in(self.models_dir)
        if self.model != info:
            self.select(info)
        struct, keep = record.to_struct()
        with self._in_models_dir():
            self.lib.put_sfio_and_design(struct)
        del keep

    def channel_counts(self) -> tuple[int, int]:
        """Channels of the current design: (woofer, tweeter); tweeter 0 for one-way."""
        return self.lib.get_nchannels()

    def sf_response(self, freq) -> tuple[np.ndarray, np.ndarray]:
        """Complex responses of the designed steering filters.

        Parameters
        ----------
        freq : (N,) array_like
            Frequencies, Hz (any values; the filters run at 96 kHz).

        Returns
        -------
        wf : (Cw, N) complex ndarray
        tw : (Ct, N) complex ndarray, Ct = 0 for a one-way design
        """
        f = np.ascontiguousarray(freq, dtype=float).ravel()
        cw, ct = self.channel_counts()
        out = [np.zeros((c, f.size)) for c in (cw, cw, ct, ct)]
        rows = [_row_pointers(a) for a in out]
        request = SFResponseRequest(f.size, cw, ct, f.ctypes.data_as(_DoublePtr), *rows)
        self.lib.sf_response(request)
        return out[0] + 1j * out[1], out[2] + 1j * out[3]

    def greens(self, x, y, *, height: float | None = None, tilt: float | None = None,
               first: int = 1, last: int | None = None) -> tuple[np.ndarray, float]:
        """Predicted sound power of the current design at points of the vertical plane.

        Parameters
        ----------
        x, y : (P,) array_like
            Horizontal distance in front of the column and height, m.
        height, tilt : float, keyword-only
            Column mounting; default: that of the last optimisation.
        first, last : int, keyword-only
            1-based inclusive range into the model's frequencies, which are
            the output grid of :meth:`frequencies` (default: all of them).

        Returns
        -------
        power : (last - first + 1, P) ndarray
            Squared pressure, Pa^2; ``10 log10(power / (20e-6)**2)`` is dB SPL.
        headroom_db : float
            How far the design's level can rise before an amplifier clips, dB.
        """
        mounting = self.mounting or Mounting(0.0, 0.0)
        height = mounting.height if height is None else float(height)
        tilt = mounting.tilt if tilt is None else float(tilt)
        px = np.ascontiguousarray(x, dtype=float).ravel()
        py = np.ascontiguousarray(y, dtype=float).ravel()
        if px.shape != py.shape:
            raise ValueError(f"x and y differ in length ({px.size} and {py.size})")
        if last is None:
            last = self.lib.frequency_count()
        rows = max(int(last) - int(first) + 1, 0)
        out = np.zeros((rows, px.size), order="F")  # the library writes column-major
        with self._in_models_dir():
            headroom = self.lib.greens(height, tilt, px.ctypes.data_as(_DoublePtr),
                                       py.ctypes.data_as(_DoublePtr), px.size, first, last,
                                       out.ctypes.data_as(_DoublePtr))
        return out, headroom

    def write_files(self, folder: str | os.PathLike, name: str) -> list[Path]:
        """Write the processor files ``<name>_box<k>.bef`` and ``<name>_SFR.bin``."""
        folder = Path(folder).resolve()
        self.lib.write_files(str(folder) + os.sep, name)
        boxes = len(self.model.boxes) if self.model else 0
        written = [folder / f"{name}_box{k}.bef" for k in range(1, boxes + 1)]
        return written + [folder / f"{name}_SFR.bin"]

