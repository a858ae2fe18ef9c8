"""Speech transmission index by the indirect method (IEC 60268-16, edition 4, 2011).

The index is computed from the modulation transfer function of the path from
talker to listener: for each of the seven octave bands 125 Hz - 8 kHz and the
fourteen modulation frequencies 0.63 - 12.5 Hz, how much of the speech
envelope's modulation survives. For a direct sound E_d, a reflected energy
E_r decaying exponentially with reverberation time T, and a steady noise E_n
(all band intensities),

    m(F) = |E_d + E_r / (1 + j 2 pi F T / 13.8)| / (E_d + E_r + E_n),

then auditory masking by the band below and the absolute reception threshold
reduce m in proportion to the intensity they add; the effective
signal-to-noise ratio 10 log10(m / (1 - m)) is clipped to +-15 dB and mapped to
a transmission index 0..1, averaged over the modulation frequencies, and the
bands are combined with the male weights alpha and redundancy factors beta.
"""

from __future__ import annotations

import numpy as np

__all__ = ["BANDS_HZ", "MODULATION_HZ", "MALE_SPECTRUM_DB", "ALPHA_MALE", "BETA_MALE",
           "RECEPTION_THRESHOLD_DB", "A_WEIGHTING_DB", "QUALIFICATION_BANDS", "qualification", "masking_slope_db",
           "modulation_transfer", "arrivals_transfer", "masked", "transmission_index", "sti_from_mtf", "sti",
           "sti_of_arrivals", "a_weighted_db"]

BANDS_HZ = (125.0, 250.0, 500.0, 1000.0, 2000.0, 4000.0, 8000.0)
# Fourteen modulation frequencies, one-third octave apart, Hz.
MODULATION_HZ = (0.63, 0.8, 1.0, 1.25, 1.6, 2.0, 2.5, 3.15, 4.0, 5.0, 6.3, 8.0, 10.0, 12.5)
# Male speech test signal: octave levels relative to its A-weighted overall level, dB.
MALE_SPECTRUM_DB = (2.9, 2.9, -0.8, -6.8, -12.8, -18.8, -24.8)
ALPHA_MALE = (0.085, 0.127, 0.230, 0.233, 0.309, 0.224, 0.173)
BETA_MALE = (0.085, 0.078, 0.065, 0.011, 0.047, 0.095)   # between bands k and k + 1
# Absolute speech reception threshold per octave band, dB SPL.
RECEPTION_THRESHOLD_DB = (46.0, 27.0, 12.0, 6.5, 7.5, 8.0, 12.0)
# A-weighting at the octave centres, dB (IEC 61672-1).
A_WEIGHTING_DB = (-16.1, -8.6, -3.2, 0.0, 1.2, 1.0, -1.1)
# Qualification bands of the index: (label, lower edge), the nominal values 0.02 apart from 0.36 up.
QUALIFICATION_BANDS = (("U", 0.0), ("J", 0.36), ("I", 0.40), ("H", 0.44), ("G", 0.48), ("F", 0.52),
                       ("E", 0.56), ("D", 0.60), ("C", 0.64), ("B", 0.68), ("A", 0.72), ("A+", 0.76))
SNR_LIMIT_DB = 15.0


def masking_slope_db(level_db) -> np.ndarray:
    """Level-dependent upward spread of masking, dB: what a band at ``level_db`` adds
    to the band above it, relative to its own intensity."""
    L = np.asarray(level_db, dtype=float)
    return np.select([L < 63.0, L < 67.0, L < 100.0], [0.5 * L - 65.0, 1.8 * L - 146.9, 0.5 * L - 59.8], -10.0)


def modulation_transfer(direct, reflected, noise, rt60, modulation_hz=MODULATION_HZ) -> np.ndarray:
    """Modulation transfer of direct, exponentially decaying reflected and steady noise energy.

    Parameters
    ----------
    direct, reflected, noise : (7, ...) array_like
        Band intensities (any common linear unit); broadcast together.
    rt60 : (7,) array_like
        Reverberation time per band, s.
    modulation_hz : (M,) array_like

    Returns
    -------
    (7, M, ...) ndarray
        m per band and modulation frequency.
    """
    d, r, n = (np.asarray(v, dtype=float) for v in (direct, reflected, noise))
    d, r, n = np.broadcast_arrays(d, r, n)
    T = np.asarray(rt60, dtype=float).reshape((-1, 1) + (1,) * (d.ndim - 1))
    F = np.asarray(modulation_hz, dtype=float).reshape((1, -1) + (1,) * (d.ndim - 1))
    # |d + r / (1 + j w)|^2 in real arithmetic: with s = 1 / (1 + w^2), r / (1 + j w) = r s (1 - j w),
    # so (d + r s)^2 + (r w s)^2 = d^2 + r s (2 d + r). Two operations on the whole (7, M, ...) grid,
    # which a coverage map makes some 700,000 values.
    w = 2.0 * np.pi * F * T / 13.8
    scale = 1.0 / (1.0 + w * w)
    total = d + r + n
    m = (r * (2.0 * d + r))[:, None] * scale
    m += (d * d)[:, None]
    np.sqrt(m, out=m)
    m *= (1.0 / np.where(total > 0, total, 1.0))[:, None]
    return m


def arrivals_transfer(direct, reflected, noise, rt60, arrival_s, modulation_hz=MODULATION_HZ) -> np.ndarray:
    """Modulation transfer of several sources, each a direct sound and its reflected decay, arriving at their times.

    m(F) = |sum_i (E_i + R_i / (1 + j 2 pi F T / 13.8)) exp(-j 2 pi F t_i)| / (sum_i (E_i + R_i) + E_n):
    a source arriving t later shifts the phase of its envelope by 2 pi F t, so
    a late source lowers the modulation as an echo does. One source is
    :func:`modulation_transfer`.

    Parameters
    ----------
    direct, reflected : (S, 7, ...) array_like
        Each source's band intensities at the listener.
    noise : (7, ...) array_like
    rt60 : (7,) array_like
        Reverberation time per band, s.
    arrival_s : (S, ...) array_like
        Arrival time of each source's direct sound, s (its reflections follow it).

    Returns
    -------
    (7, M, ...) ndarray
    """
    d, r = np.asarray(direct, dtype=float), np.asarray(reflected, dtype=float)
    d, r = np.broadcast_arrays(d, r)
    n = np.broadcast_to(np.asarray(noise, dtype=float), d.shape[1:])
    extra = d.ndim - 2
    T = np.asarray(rt60, dtype=float).reshape((1, -1, 1) + (1,) * extra)
    F = np.asarray(modulation_hz, dtype=float).reshape((1, 1, -1) + (1,) * extra)
    t = np.asarray(arrival_s, dtype=float).reshape((d.shape[0], 1, 1) + d.shape[2:])
    w = 2.0 * np.pi * F * T / 13.8
    each = (d[:, :, None] + r[:, :, None] / (1.0 + 1j * w)) * np.exp(-2j * np.pi * F * t)
    total = (d.sum(axis=0) + r.sum(axis=0) + n)[:, None]
    return np.abs(each.sum(axis=0)) / np.where(total > 0, total, 1.0)


def masked(m, level_db, *, masking: bool = True, threshold: bool = True) -> np.ndarray:
    """``m`` (7, M, ...) reduced by auditory masking and the reception threshold.

    ``level_db`` (7, ...) is each band's total level at the listener (speech,
    its reflections and the noise), dB SPL. Band k is masked by band k - 1 at
    its level less :func:`masking_slope_db`; the threshold adds its intensity
    to every band. m' = m I_k / (I_k + I_am,k + I_rt,k).
    """
    L = np.asarray(level_db, dtype=float)
    I = 10.0 ** (L / 10.0)
    extra = np.zeros_like(I)
    if masking:
        extra[1:] += I[:-1] * 10.0 ** (masking_slope_db(L[:-1]) / 10.0)
    if threshold:
        extra += 10.0 ** (np.asarray(RECEPTION_THRESHOLD_DB).reshape((-1,) + (1,) * (L.ndim - 1)) / 10.0)
    return np.asarray(m) * (I / (I + extra))[:, None]


def transmission_index(m) -> np.ndarray:
    """Transmission index of modulation transfer values: the effective SNR clipped to +-15 dB, mapped to 0..1."""
    # Clipping m to the values whose SNR is +-15 dB is the same as clipping the SNR.
    edge = 10.0 ** (SNR_LIMIT_DB / 10.0)
    m = np.maximum(np.asarray(m, dtype=float), 1.0 / (1.0 + edge))
    np.minimum(m, edge / (1.0 + edge), out=m)
    ti = 1.0 - m
    np.divide(m, ti, out=ti)
    np.log10(ti, out=ti)
    ti *= 10.0 / (2.0 * SNR_LIMIT_DB)
    ti += 0.5
    return ti


def sti_from_mtf(m) -> np.ndarray:
    """STI of modulation transfer values (7, M, ...): the weighted sum of the bands' mean
    transmission indices less the redundancy between adjacent bands."""
    mti = transmission_index(m).mean(axis=1)
    alpha = np.asarray(ALPHA_MALE).reshape((-1,) + (1,) * (mti.ndim - 1))
    beta = np.asarray(BETA_MALE).reshape((-1,) + (1,) * (mti.ndim - 1))
    return np.sum(alpha * mti, axis=0) - np.sum(beta * np.sqrt(mti[:-1] * mti[1:]), axis=0)


def sti(direct_db, reflected_db, noise_db, rt60, *, masking: bool = True, threshold: bool = True) -> np.ndarray:
    """STI at listening points from octave-band levels.

    Parameters
    ----------
    direct_db, reflected_db : (7, ...) array_like
        Speech signal's direct and reflected levels per octave band, dB SPL.
    noise_db : (7,) array_like or None
        Background noise per band, dB SPL; None for none.
    rt60 : (7,) array_like
        Reverberation time per band, s.
    masking, threshold : bool, keyword-only
        Apply auditory masking and the absolute reception threshold.

    Returns
    -------
    ndarray, shape ``direct_db.shape[1:]``
    """
    d = 10.0 ** (np.asarray(direct_db, dtype=float) / 10.0)
    r = 10.0 ** (np.asarray(reflected_db, dtype=float) / 10.0)
    if noise_db is None:
        n = np.zeros_like(d)
    else:
        n = np.broadcast_to(10.0 ** (np.asarray(noise_db, dtype=float).reshape((-1,) + (1,) * (d.ndim - 1)) / 10.0),
                            d.shape)
    m = modulation_transfer(d, r, n, rt60)
    if masking or threshold:
        m = masked(m, 10.0 * np.log10(d + r + n), masking=masking, threshold=threshold)
    return sti_from_mtf(m)


def sti_of_arrivals(direct_db, reflected_db, noise_db, rt60, arrival_s) -> np.ndarray:
    """STI of several sources arriving at their times (see :func:`arrivals_transfer`), masking and threshold on.

    ``direct_db``, ``reflected_db`` (S, 7, ...) dB SPL, ``noise_db`` (7,) or None,
    ``arrival_s`` (S, ...) s; returns shape ``direct_db.shape[2:]``.
    """
    d = 10.0 ** (np.asarray(direct_db, dtype=float) / 10.0)
    r = 10.0 ** (np.asarray(reflected_db, dtype=float) / 10.0)
    shape = d.shape[1:]
    n = np.zeros(shape) if noise_db is None else np.broadcast_to(
        10.0 ** (np.asarray(noise_db, dtype=float).reshape((-1,) + (1,) * (len(shape) - 1)) / 10.0), shape)
    m = arrivals_transfer(d, r, n, rt60, arrival_s)
    return sti_from_mtf(masked(m, 10.0 * np.log10(d.sum(axis=0) + r.sum(axis=0) + n)))


def a_weighted_db(band_db, axis: int = 0) -> np.ndarray:
    """Overall A-weighted level of seven octave-band levels (dB SPL along ``axis``), dB(A)."""
    L = np.moveaxis(np.asarray(band_db, dtype=float), axis, 0)
    A = np.asarray(A_WEIGHTING_DB).reshape((-1,) + (1,) * (L.ndim - 1))
    return 10.0 * np.log10(np.sum(10.0 ** ((L + A) / 10.0), axis=0))


def qualification(value: float) -> str:
    """Qualification band label of an STI value (A+ ... U)."""
    label = "U"
    for name, lower in QUALIFICATION_BANDS:
        if value >= lower:
            label = name
    return label
