"""The recursive (IIR) part of a channel's chain, as a truncated impulse response.

After the steering FIR the processor runs second-order sections: the fixed
crossover of the column's array type and, for woofers, the digital
equivalent of the box's analog roll-off high-pass. Their impulse response is
infinite; it is cut where the rest is negligible: the absolute values of the
samples dropped sum to less than 10^(-120/20) of the sections' peak gain, so
the cut changes the response at no frequency by more than -120 dB of that
peak (the dropped tail's response is bounded by its sum of magnitudes).
"""

from __future__ import annotations

import numpy as np
from scipy import signal

SAMPLE_RATE = 96000.0  # Hz, the rate of every filter of a design
TRUNCATION_DB = -120.0

# The crossover sets the processor runs (b0 b1 b2 a0 a1 a2 per row): pass-through,
# squared second-order and squared fourth-order Butterworth pairs at about
# 2 kHz for 96 kHz. The five-digit values are the processor's own.
_PASS = (1.0, 0.0, 0.0, 1.0, 0.0, 0.0)
_LOW1 = (0.0039161, 0.0078323, 0.0039161, 1.0, -1.8153, 0.83101)
_HIGH1 = (0.91159, -1.8232, 0.91159, 1.0, -1.8153, 0.83101)
_LOW2A = (1.5552e-05, 3.1113e-05, 1.5561e-05, 1.0, -1.7695, 0.78477)
_LOW2B = (1.0, 1.9994, 0.99941, 1.0, -1.8886, 0.90485)
_HIGH2A = (0.84268, -1.6854, 0.8427, 1.0, -1.7695, 0.78477)
_HIGH2B = (1.0, -2.0, 0.99998, 1.0, -1.8886, 0.90485)
_CROSSOVER_SETS = (
    ((_PASS,), (_PASS,)),
    ((_LOW1, _LOW1), (_HIGH1, _HIGH1)),
    ((_LOW2A, _LOW2B, _LOW2A, _LOW2B), (_HIGH2A, _HIGH2B, _HIGH2A, _HIGH2B)),
)
_SET_OF_ARRAY_TYPE = (0, 1, 2, 1, 2, 2, 2, 2, 2, 2)  # array types 1..10

_LONGEST = 1 << 22  # samples; a roll-off that rings longer than 44 s is not a loudspeaker's


def crossover_sections(arraytype: int) -> tuple[np.ndarray, np.ndarray]:
    """The processor's crossover of an array type: (low-pass rows, high-pass rows), each (n, 6).

    The low-pass runs on the woofer channels (of one-way columns too), the
    high-pass on the tweeter channels.
    """
    if not 1 <= int(arraytype) <= len(_SET_OF_ARRAY_TYPE):
        raise ValueError(f"array type {arraytype} has no crossover (1 to {len(_SET_OF_ARRAY_TYPE)})")
    low, high = _CROSSOVER_SETS[_SET_OF_ARRAY_TYPE[int(arraytype) - 1]]
    return np.array(low), np.array(high)


def analog_rows(value) -> np.ndarray:
    """A model document's analog section matrix as rows of six, (n, 6).

    A single section may be written as one column of six numbers or as a flat
    list of six; both are one row.
    """
    a = np.asarray(value, dtype=float)
    if a.ndim == 1:
        a = a.reshape(-1, 1)
    if a.shape[1] == 1 and a.shape[0] > 1:
        a = a.T
    if a.ndim != 2 or a.shape[1] != 6 or not np.all(np.isfinite(a)):
        raise ValueError(f"expected rows of six numbers b0 b1 b2 a0 a1 a2, got shape {a.shape}")
    return a


def digital_rolloff(row) -> np.ndarray:
    """Digital equivalent of one analog section (b0 s^2 + b1 s + b2) / (a0 s^2 + a1 s + a2), as a (6,) row.

    The bilinear transform s = 2 fs (1 - z^-1) / (1 + z^-1) at the design's
    sample rate: it keeps the gain at 0 Hz and at the top and maps the analog
    frequency axis onto the digital one with a relative error of about
    (pi f / fs)^2 / 3 (1.4e-3 at 2 kHz), which for a roll-off tens of hertz
    high changes the response by some 1e-5 in the woofers' band. A
    first-order section (b0 = a0 = 0) stays first order.
    """
    b0, b1, b2, a0, a1, a2 = (float(v) for v in row)
    k = 2.0 * SAMPLE_RATE
    if b0 == 0.0 and a0 == 0.0:
        num = [b1 * k + b2, b2 - b1 * k, 0.0]
        den = [a1 * k + a2, a2 - a1 * k, 0.0]
    else:
        num = [b0 * k * k + b1 * k + b2, 2.0 * (b2 - b0 * k * k), b0 * k * k - b1 * k + b2]
        den = [a0 * k * k + a1 * k + a2, 2.0 * (a2 - a0 * k * k), a0 * k * k - a1 * k + a2]
    if den[0] == 0.0:
        raise ValueError(f"analog section {list(row)} has no digital equivalent")
    return np.array(num + den) / den[0]


def impulse_response(sos: np.ndarray, *, truncation_db: float = TRUNCATION_DB) -> np.ndarray:
    """The impulse response of a cascade of digital sections, cut as the module says.

    Parameters
    ----------
    sos : (n, 6) array_like
        Rows b0 b1 b2 a0 a1 a2 of stable sections.

    Returns
    -------
    (N,) ndarray
        The first N samples; N is the shortest length whose dropped tail
        sums in magnitude to at most ``10**(truncation_db/20)`` times the
        cascade's peak gain.
    """
    sos = np.asarray(sos, dtype=float).reshape(-1, 6)
    sos = sos / sos[:, 3:4]
    if np.max(np.abs(np.concatenate([np.roots(r[3:]) for r in sos] or [np.zeros(0)])), initial=0.0) >= 1.0:
        raise ValueError("a recursive section is unstable (a pole on or outside the unit circle)")
    limit = 10.0 ** (truncation_db / 20.0)
    n = 4096
    while True:
        impulse = np.zeros(n)
        impulse[0] = 1.0
        g = signal.sosfilt(sos, impulse)
        peak = np.abs(np.fft.rfft(g, 4 * n)).max()
        tail = np.cumsum(np.abs(g[::-1]))[::-1]  # tail[k] = sum |g[k:]|
        # The response has died out when the last quarter holds a thousandth of what may be dropped.
        if tail[3 * n // 4] <= 1e-3 * limit * peak:
            keep = int(np.argmax(tail <= limit * peak))
            return g[:max(keep, 1)]
        if n >= _LONGEST:
            raise ValueError(f"the recursive sections ring longer than {_LONGEST} samples")
        n *= 2
