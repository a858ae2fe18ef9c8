"""Reading a driver's directivity from an AES69 (SOFA) file of the
FreeFieldDirectivityTF convention, with h5py (a SOFA file is netCDF-4, which is HDF5).

What is read: one measurement (M = 1) of a source surrounded by R receivers,
``Data.Real`` and ``Data.Imag`` of dimensions M x R x N with the frequencies
``N`` (Hz), and ``ReceiverPosition`` (R x 3, or R x 3 x 1), spherical
(azimuth and elevation in degrees, radius in m) or cartesian (m). The column
axis is the z axis and the column faces +x, so the receivers of the vertical
plane in front are those at azimuth 0 (and the two poles); their elevation is
the angle from the driver's axis, positive upwards.

The source's acoustic centre is the origin of the coordinates and is placed at
the driver's position on the column. The data are referred to it at 1 m:
multiplied by the receiver's radius (spherical spreading), and, when they
include the propagation to the receiver (``delay_included``, the default, as
a measured transfer function does), multiplied by exp(+j 2 pi f r / c).

Limits: files up to 64 MiB and 4 Mi complex values.
"""

from __future__ import annotations

import os

import numpy as np

from .piston import SPEED_OF_SOUND

__all__ = ["MAX_BYTES", "MAX_VALUES", "SofaError", "read_sofa"]

MAX_BYTES = 64 << 20
MAX_VALUES = 4 << 20


class SofaError(ValueError):
    """A SOFA file that cannot be used: ``variable`` and ``problem``."""

    def __init__(self, variable: str, problem: str):
        super().__init__(f"{variable}: {problem}" if variable else problem)
        self.variable, self.problem = variable, problem


def _text(value) -> str:
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    if isinstance(value, np.ndarray):
        return _text(value.reshape(-1)[0]) if value.size else ""
    return str(value)


def _variable(f, name):
    if name not in f:
        raise SofaError(name, "missing")
    return f[name]


def read_sofa(path: str | os.PathLike, delay_included: bool = True):
    """Frequencies (N,) Hz, angles (A,) degrees ascending and data (N, A) complex,
    referred to the acoustic centre at 1 m.

    Raises
    ------
    SofaError
        Naming the SOFA variable or attribute and the problem.
    OSError
        When the file cannot be read at all.
    """
    import h5py

    size = os.path.getsize(path)
    if size > MAX_BYTES:
        raise SofaError("", f"{size / 2**20:.0f} MiB is beyond the limit of {MAX_BYTES >> 20} MiB")
    try:
        f = h5py.File(path, "r")
    except OSError:
        raise SofaError("", "not a SOFA file (not netCDF-4/HDF5)") from None
    with f:
        conventions = _text(f.attrs.get("SOFAConventions", ""))
        if conventions != "FreeFieldDirectivityTF":
            raise SofaError("SOFAConventions", f"expected FreeFieldDirectivityTF, got {conventions or 'none'!r}")
        data_type = _text(f.attrs.get("DataType", ""))
        if data_type != "TF":
            raise SofaError("DataType", f"expected TF, got {data_type or 'none'!r}")
        real, imag = _variable(f, "Data.Real"), _variable(f, "Data.Imag")
        if real.ndim != 3:
            raise SofaError("Data.Real", f"expected dimensions M x R x N, got {real.ndim} dimensions")
        if imag.shape != real.shape:
            raise SofaError("Data.Imag", f"dimensions {imag.shape} differ from Data.Real's {real.shape}")
        m, r, n = real.shape
        if m * r * n > MAX_VALUES:
            raise SofaError("Data.Real", f"{m} x {r} x {n} values are beyond the limit of {MAX_VALUES}")
        if m != 1:
            raise SofaError("Data.Real", f"M = {m} measurements; a driver's file holds one")
        freq = np.asarray(_variable(f, "N")[()], dtype=float).reshape(-1)
        if freq.size != n:
            raise SofaError("N", f"{freq.size} frequencies for N = {n} in Data.Real")
        positions = _variable(f, "ReceiverPosition")
        kind = _text(positions.attrs.get("Type", "cartesian")).lower()
        pos = np.asarray(positions[()], dtype=float)
        if pos.ndim == 3 and pos.shape[2] == 1:
            pos = pos[:, :, 0]
        if pos.shape != (r, 3):
            raise SofaError("ReceiverPosition", f"expected R x 3 = {r} x 3, got {pos.shape}")
        re, im = np.asarray(real[0], dtype=float), np.asarray(imag[0], dtype=float)  # (R, N)
    for name, a in (("N", freq), ("ReceiverPosition", pos), ("Data.Real", re), ("Data.Imag", im)):
        if not np.all(np.isfinite(a)):
            raise SofaError(name, "holds NaN or infinite values")
    values = re + 1j * im
    if kind == "spherical":
        azimuth, elevation, radius = pos[:, 0], pos[:, 1], pos[:, 2]
    elif kind == "cartesian":
        radius = np.linalg.norm(pos, axis=1)
        azimuth = np.degrees(np.arctan2(pos[:, 1], pos[:, 0]))
        elevation = np.degrees(np.arctan2(pos[:, 2], np.hypot(pos[:, 0], pos[:, 1])))
    else:
        raise SofaError("ReceiverPosition:Type", f"expected spherical or cartesian, got {kind!r}")
    if np.any(radius <= 0):
        raise SofaError("ReceiverPosition", "a receiver at the origin has no direction")
    front = (np.abs((azimuth + 180.0) % 360.0 - 180.0) < 0.5) | (np.abs(elevation) > 89.99)
    if not np.any(front):
        raise SofaError("ReceiverPosition", "no receiver in the vertical plane in front (azimuth 0)")
    order = np.argsort(elevation[front])
    angles = elevation[front][order]
    if np.any(np.diff(angles) <= 0):
        raise SofaError("ReceiverPosition", "two receivers of the vertical plane share an elevation")
    r_front = radius[front][order]
    tf = values[front][order].T  # (N, A)
    tf = tf * r_front[None, :]
    if delay_included:
        tf = tf * np.exp(2j * np.pi * np.outer(freq, r_front) / SPEED_OF_SOUND)
    return freq, angles, tf
