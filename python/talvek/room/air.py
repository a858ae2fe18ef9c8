"""Absorption of sound by the air (ISO 9613-1:1993, pure-tone attenuation).

The attenuation coefficient follows from the relaxation frequencies of oxygen
and nitrogen, which depend on the temperature and the molar concentration of
water vapour; the classical and rotational losses add the small term that
grows with f^2 alone. In a hall at 20 degC and 50 % this is about 5 dB/km at
1 kHz and about 0.1 dB/m at 8 kHz, so over 40 m the top octave loses 4 dB.
"""

from __future__ import annotations

import numpy as np

__all__ = ["absorption_db_per_m", "octave_midbands", "REFERENCE_PRESSURE_KPA"]

REFERENCE_PRESSURE_KPA = 101.325  # kPa, one atmosphere
_T0 = 293.15                      # K, reference temperature (20 degC)
_T01 = 273.16                     # K, triple point of water


def absorption_db_per_m(freq, temperature: float = 20.0, humidity: float = 50.0, *,
                        pressure: float = REFERENCE_PRESSURE_KPA) -> np.ndarray:
    """Pure-tone attenuation coefficient of the air, dB/m.

    Parameters
    ----------
    freq : array_like
        Frequencies, Hz.
    temperature : float
        Air temperature, degC.
    humidity : float
        Relative humidity, %.
    pressure : float, keyword-only
        Ambient pressure, kPa.

    Returns
    -------
    ndarray, shape of ``freq``
        Attenuation, dB per metre of path.
    """
    f = np.asarray(freq, dtype=float)
    T = temperature + 273.15
    pa = pressure / REFERENCE_PRESSURE_KPA
    # Molar concentration of water vapour, %, from the saturation pressure over water.
    saturation = 10.0 ** (-6.8346 * (_T01 / T) ** 1.261 + 4.6151)
    h = humidity * saturation / pa
    fr_o = pa * (24.0 + 4.04e4 * h * (0.02 + h) / (0.391 + h))
    fr_n = pa * (T / _T0) ** -0.5 * (9.0 + 280.0 * h * np.exp(-4.170 * ((T / _T0) ** (-1.0 / 3.0) - 1.0)))
    relaxation = (T / _T0) ** -2.5 * (0.01275 * np.exp(-2239.1 / T) / (fr_o + f**2 / fr_o)
                                      + 0.1068 * np.exp(-3352.0 / T) / (fr_n + f**2 / fr_n))
    return 8.686 * f**2 * (1.84e-11 / pa * (T / _T0) ** 0.5 + relaxation)


def octave_midbands(nominal) -> np.ndarray:
    """Exact octave midband frequencies (base ten, 1000 * 10^(3k/10) Hz) of nominal ones.

    125 Hz is 125.89 Hz, 8 kHz is 7943 Hz: the frequencies at which the
    standard evaluates the pure-tone coefficient for a band.
    """
    nominal = np.asarray(nominal, dtype=float)
    k = np.round(10.0 * np.log10(nominal / 1000.0) / 3.0)
    return 1000.0 * 10.0 ** (3.0 * k / 10.0)
