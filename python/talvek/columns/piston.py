"""A driver as a rigid circular piston in an infinite baffle, with the analog
roll-offs of its own band and of the amplifier channel that drives it.

Plain functions over numpy arrays; frequencies in Hz, angles in radians
measured from the driver's axis in the vertical plane.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from scipy.special import j1

__all__ = ["SPEED_OF_SOUND", "P_REF", "Piston", "piston_directivity", "second_order", "first_order_lowpass",
           "first_order_highpass", "amplifier_gain", "analog_highpass_section", "prototype_response"]

SPEED_OF_SOUND = 343.0  # m/s
P_REF = 20e-6  # Pa, 0 dB SPL


def piston_directivity(ka, theta):
    """Baffled-piston far field 2 J1(x)/x, x = ka sin(theta).

    Parameters
    ----------
    ka : (F,) array_like
        Wavenumber times radius.
    theta : (A,) array_like
        Angles from the axis, radians.

    Returns
    -------
    (F, A) ndarray
        1 on axis; the limit 1 is used where x is (numerically) zero.
    """
    x = np.outer(ka, np.sin(theta))
    out = np.ones_like(x)
    nz = np.abs(x) > 1e-12
    out[nz] = 2.0 * j1(x[nz]) / x[nz]
    return out


def second_order(s, f0, q, kind):
    """Analog second-order low- or high-pass at ``f0`` Hz with quality factor ``q``, at s (rad/s)."""
    w0 = 2 * np.pi * f0
    den = s * s + s * w0 / q + w0 * w0
    return (s * s if kind == "high" else w0 * w0) / den


def first_order_lowpass(s, f0):
    w0 = 2 * np.pi * f0
    return w0 / (s + w0)


def first_order_highpass(s, f0):
    return s / (s + 2 * np.pi * f0)


def amplifier_gain(f, volts_per_full_scale):
    """Magnitude of one amplifier channel, (F,): flat gain (V peak per full scale),
    a 5 Hz DC block and a 45 kHz output-filter low-pass."""
    s = 2j * np.pi * np.asarray(f)
    return volts_per_full_scale * np.abs(first_order_highpass(s, 5.0) * second_order(s, 45000.0, 0.7, "low"))


def analog_highpass_section(f0, q):
    """One analog section row b0 b1 b2 a0 a1 a2 of (b0 s^2 + b1 s + b2)/(a0 s^2 + a1 s + a2)."""
    w0 = 2 * np.pi * f0
    return [1.0, 0.0, 0.0, 1.0, w0 / q, w0 * w0]


@dataclass(frozen=True)
class Piston:
    """One driver prototype described by a piston.

    radius : m. sensitivity_db : dB SPL at 1 m on axis for 1 W into the
    nominal ``impedance`` (ohm). highpass, lowpass : (frequency Hz, Q) of the
    driver's own second-order roll-offs. lowpass1 : frequency of a further
    first-order low-pass, Hz, or None. centre_offset : the acoustic centre's
    offset from the nominal position along the column axis, m (upwards).
    """

    radius: float
    sensitivity_db: float
    impedance: float
    highpass: tuple
    lowpass: tuple
    lowpass1: float | None = None
    centre_offset: float = 0.0

    @property
    def pascal_per_volt(self) -> float:
        """On-axis RMS pressure at 1 m for 1 V RMS at the terminals, Pa."""
        return P_REF * 10 ** (self.sensitivity_db / 20) / np.sqrt(self.impedance)

    def band(self, s):
        """The driver's own frequency response at s = j 2 pi f (minimum phase)."""
        out = second_order(s, self.highpass[0], self.highpass[1], "high") * \
            second_order(s, self.lowpass[0], self.lowpass[1], "low")
        if self.lowpass1 is not None:
            out = out * first_order_lowpass(s, self.lowpass1)
        return out


def prototype_response(driver: Piston, f, theta, volts_per_full_scale: float):
    """RMS pressure at 1 m for a full-scale sine at the DAC.

    sensitivity x amplifier gain / sqrt 2 x band x piston x acoustic-centre offset
    phase exp(+j k d sin(theta)).

    Returns
    -------
    (F, A) complex ndarray
    """
    f = np.asarray(f)
    k = 2 * np.pi * f / SPEED_OF_SOUND
    s = 2j * np.pi * f
    level = driver.pascal_per_volt * volts_per_full_scale / np.sqrt(2.0)
    offset_phase = np.exp(1j * np.outer(k, np.sin(theta)) * driver.centre_offset)
    return level * driver.band(s)[:, None] * piston_directivity(k * driver.radius, theta) * offset_phase
