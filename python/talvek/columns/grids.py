"""Bringing measured directivity onto the model's frequency and angle grids.

Measured data arrive on the measurement's own grids. They are resampled in
two steps, magnitude and unwrapped phase separately so that a directivity
lobe or a propagation delay is interpolated as what it is, not as real and
imaginary parts that cancel between samples:

1. across angle, at each measured frequency: magnitude and phase (unwrapped
   along angle) linear in angle, onto the 2-degree grid -90 ... 90 degrees;
2. across frequency, at each model angle: magnitude linear in log frequency,
   phase (unwrapped along frequency) linear in frequency, onto the library's
   215 output frequencies 50 Hz ... 24 kHz.

Nothing is extrapolated: the data must reach -90 and +90 degrees and 50 Hz
and 24 kHz (to within 0.01 degree and 0.01 %), else they are refused. Phase
unwrapping needs a phase step below pi between neighbouring samples, which
data referred to the acoustic centre have at any usual resolution.
"""

from __future__ import annotations

import numpy as np

from .document import MEASURED_ANGLES_DEG, output_frequencies

__all__ = ["GridError", "onto_model_grid"]


class GridError(ValueError):
    """Data that cannot be brought onto the grids; the message says why (without a file)."""


def _interp_mag_phase(x, values, xq, axis_log=False):
    """Resample complex ``values`` (len(x), K) at ``xq`` along axis 0."""
    xs = np.log(x) if axis_log else x
    xqs = np.log(xq) if axis_log else xq
    mag = np.abs(values)
    phase = np.unwrap(np.angle(values), axis=0)
    out_mag = np.stack([np.interp(xqs, xs, mag[:, k]) for k in range(values.shape[1])], axis=1)
    # Phase is linear in frequency for a delay, so it is interpolated on the linear axis.
    out_phase = np.stack([np.interp(xq, x, phase[:, k]) for k in range(values.shape[1])], axis=1)
    return out_mag * np.exp(1j * out_phase)


def onto_model_grid(freq, angles_deg, data) -> np.ndarray:
    """Measured data on the model grids.

    Parameters
    ----------
    freq : (N,) array_like
        Measured frequencies, Hz, strictly increasing.
    angles_deg : (A,) array_like
        Measured angles in the vertical plane, degrees from the axis,
        positive towards the top of the column; strictly increasing.
    data : (N, A) complex array_like

    Returns
    -------
    (215, 91) complex ndarray

    Raises
    ------
    GridError
        For grids that are not increasing or do not cover the model's range.
    """
    freq = np.asarray(freq, dtype=float)
    angles = np.asarray(angles_deg, dtype=float)
    data = np.asarray(data, dtype=complex)
    f_model = np.asarray(output_frequencies())
    if freq.ndim != 1 or angles.ndim != 1 or data.shape != (freq.size, angles.size):
        raise GridError(f"data of shape {data.shape} do not match {freq.size} frequencies and {angles.size} angles")
    if freq.size < 2 or np.any(np.diff(freq) <= 0) or freq[0] <= 0:
        raise GridError("frequencies must be positive and strictly increasing")
    if angles.size < 2 or np.any(np.diff(angles) <= 0):
        raise GridError("angles must be strictly increasing, each measured once")
    if freq[0] > f_model[0] * 1.0001 or freq[-1] < f_model[-1] * 0.9999:
        raise GridError(f"frequencies {freq[0]:g} to {freq[-1]:g} Hz do not cover the model's "
                        f"{f_model[0]:g} to {f_model[-1]:g} Hz")
    if angles[0] > -89.99 or angles[-1] < 89.99:
        raise GridError(f"angles {angles[0]:g} to {angles[-1]:g} degrees do not cover -90 to 90 degrees")
    by_angle = _interp_mag_phase(angles, data.T, np.clip(MEASURED_ANGLES_DEG, angles[0], angles[-1])).T
    return _interp_mag_phase(freq, by_angle, np.clip(f_model, freq[0], freq[-1]), axis_log=True)
