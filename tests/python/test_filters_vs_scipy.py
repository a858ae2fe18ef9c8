"""Cross-checks of the table lookup, the filter objects, the section responses
and the Butterworth designs against numpy and scipy.signal, through the test
shim named by TALVEK_SHIM (without it the module skips).

Tolerances: two double-precision evaluations of the same closed form agree to
about 1e-13 here, so 1e-10 relative leaves room for another operation order
(Horner against scipy's polynomials, the bilinear transform of the poles against
scipy's zpk route) without hiding a wrong coefficient, which shows at 1e-3 or
worse. The hardest design case, wn = 0.002 at orders 11-16, differs from scipy
by 2e-11 of the pass-band level. Long FIR filters get 1e-9: Horner over 4096
taps accumulates about N * eps relative to sum |b|.
"""
import ctypes
import os

import numpy as np
import pytest
from numpy.testing import assert_allclose

scipy_signal = pytest.importorskip("scipy.signal")

FS = 96000.0
DENSE_GRID = np.linspace(0.0, FS / 2, 2001)

_path = os.environ.get("TALVEK_SHIM")
if not _path:
    pytest.skip("TALVEK_SHIM is not set", allow_module_level=True)
_lib = ctypes.CDLL(_path)

_P = ctypes.POINTER(ctypes.c_double)
_I = ctypes.c_int


def _signature(name, *args):
    fn = getattr(_lib, name)
    fn.argtypes = list(args) + [ctypes.c_char_p, _I]
    fn.restype = _I
    return fn


_interp_real = _signature("shim_interp_real", _I, _P, _I, _P, _I, _P, _I, _I, _P)
_interp_complex = _signature("shim_interp_complex", _I, _P, _I, _P, _I, _P, _I, _I, _P)
_db_to_amplitude = _signature("shim_db_to_amplitude", _P, _I, _I, _P)
_fir_response = _signature("shim_fir_response", _P, _I, _P, _I, ctypes.c_double, _P)
_sos_response = _signature("shim_sos_response", _I, _P, _I, _I, _P, _I, ctypes.c_double, _I, _P,
                           ctypes.POINTER(_I))
_butter_sos = _signature("shim_butter_sos", _I, _I, ctypes.c_double, _P, ctypes.POINTER(_I))


class ShimError(RuntimeError):
    pass


def _ptr(a):
    return a.ctypes.data_as(_P)


def _call(fn, *args):
    err = ctypes.create_string_buffer(512)
    if fn(*args, err, len(err)) != 0:
        raise ShimError(err.value.decode())


def _col(a, dtype=np.float64):
    """Column-major contiguous copy, as the shim reads it."""
    return np.asfortranarray(np.array(a, dtype=dtype))


# ------------------------------------------------------------------ wrappers
def interp(kind, x, Y, xq, *, extrapolate=True):
    """kind: 'rows', 'vector', 'logx' (real) or 'complex', 'magphase', 'abs'."""
    x, xq = _col(x), _col(xq)
    real_kinds = ["rows", "vector", "logx"]
    if kind in real_kinds:
        Y = _col(Y)
        m = 1 if Y.ndim == 1 else Y.shape[1]
        out = np.zeros((len(xq), m), order="F")
        _call(_interp_real, real_kinds.index(kind), _ptr(x), len(x), _ptr(Y), m, _ptr(xq), len(xq),
              int(extrapolate), _ptr(out))
        return out
    Y = _col(Y, np.complex128)
    m = Y.shape[1]
    out = np.zeros((len(xq), m), dtype=np.float64 if kind == "abs" else np.complex128, order="F")
    _call(_interp_complex, ["complex", "magphase", "abs"].index(kind), _ptr(x), len(x), _ptr(Y), m,
          _ptr(xq), len(xq), int(extrapolate), _ptr(out))
    return out


def fir_response(b, f, fs=FS):
    b, f = _col(b), _col(f)
    out = np.zeros(len(f), dtype=np.complex128)
    _call(_fir_response, _ptr(b), len(b), _ptr(f), len(f), fs, _ptr(out))
    return out


def sos_response(sos, f, *, analog=False, showstep=0, fs=FS):
    sos, f = _col(sos), _col(f)
    out = np.zeros((len(f), max(sos.shape[0], 1)), dtype=np.complex128, order="F")
    cols = _I()
    _call(_sos_response, int(analog), _ptr(sos), sos.shape[0], sos.shape[1], _ptr(f), len(f), fs,
          showstep, _ptr(out), ctypes.byref(cols))
    return out[:, :cols.value]


def butter_sos(order, wn, *, highpass=False):
    out = np.zeros((max((order + 1) // 2, 1), 6), order="F")
    rows = _I()
    _call(_butter_sos, int(highpass), order, wn, _ptr(out), ctypes.byref(rows))
    return out[:rows.value]


def random_stable_sos(rng, nsec):
    """Sections with poles and zeros drawn inside the unit circle (analog: left half plane)."""
    rows = []
    for _ in range(nsec):
        p = 0.95 * rng.uniform(0.1, 1.0) * np.exp(1j * rng.uniform(0, np.pi))
        z = 1.2 * rng.uniform(0.0, 1.0) * np.exp(1j * rng.uniform(0, np.pi))
        g = rng.uniform(0.5, 2.0)
        rows.append([g, -2 * g * z.real, g * abs(z) ** 2, 1.0, -2 * p.real, abs(p) ** 2])
    return np.array(rows)


# ------------------------------------------------------------------ Butterworth
@pytest.mark.parametrize("highpass", [False, True])
@pytest.mark.parametrize("wn", [0.002, 0.05, 0.3, 0.77, 0.98])
@pytest.mark.parametrize("order", range(1, 17))
def test_butterworth_matches_scipy(order, wn, highpass):
    sos = butter_sos(order, wn, highpass=highpass)
    ours = sos_response(sos, DENSE_GRID, showstep=0)[:, 0]
    _, ref = scipy_signal.sosfreqz(scipy_signal.butter(order, wn, btype="highpass" if highpass else "lowpass",
                                                       output="sos"), worN=DENSE_GRID, fs=FS)
    # Odd high-pass orders end in the first-order section (-1 + z^-1): the
    # cascade is scipy's response with the opposite sign.
    if highpass and order % 2:
        ref = -ref
    # Relative to the pass-band level: deep in the stop band both are rounding.
    assert_allclose(ours, ref, rtol=1e-10, atol=1e-10 * np.abs(ref).max())
    # The gain sits in the first numerator; later pairs are [1, +-2, 1] over a0 = 1.
    assert sos.shape == ((order + 1) // 2, 6) and np.all(sos[:, 3] == 1.0)
    assert np.all(sos[1:order // 2, :3] == [1.0, -2.0 if highpass else 2.0, 1.0])


def test_butterworth_rejects_bad_arguments():
    for order, wn in [(17, 0.5), (-1, 0.5), (4, 0.0), (4, 1.0), (4, np.nan)]:
        with pytest.raises(ShimError, match="Butterworth"):
            butter_sos(order, wn)


# ------------------------------------------------------------------ sections
@pytest.mark.parametrize("nsec", [1, 2, 5])
def test_sections_match_sosfreqz_and_freqs(nsec):
    rng = np.random.default_rng(nsec)
    sos = random_stable_sos(rng, nsec)
    each = sos_response(sos, DENSE_GRID, showstep=1)
    assert each.shape == (len(DENSE_GRID), nsec)
    for i in range(nsec):
        assert_allclose(each[:, i], scipy_signal.sosfreqz(sos[i:i + 1], worN=DENSE_GRID, fs=FS)[1], rtol=1e-10)
    assert_allclose(sos_response(sos, DENSE_GRID)[:, 0], scipy_signal.sosfreqz(sos, worN=DENSE_GRID, fs=FS)[1],
                    rtol=1e-10)
    # Analog: z-plane circles become left-half-plane s roots around 1 krad/s.
    sos[:, [1, 4]] *= -1e3
    sos[:, [2, 5]] *= 1e6
    f = np.geomspace(1.0, 30000.0, 1500)
    cascade = np.ones(len(f), dtype=complex)
    ours = sos_response(sos, f, analog=True, showstep=1)
    for i in range(nsec):
        ref = scipy_signal.freqs(sos[i, :3], sos[i, 3:], worN=2 * np.pi * f)[1]
        assert_allclose(ours[:, i], ref, rtol=1e-10)
        cascade *= ref
    assert_allclose(sos_response(sos, f, analog=True)[:, 0], cascade, rtol=1e-10)


# ------------------------------------------------------------------ FIR
@pytest.mark.parametrize("ntaps", [1, 2, 3, 5, 64, 1023, 4096])
def test_fir_matches_direct_sum(ntaps):
    rng = np.random.default_rng(ntaps)
    b = rng.standard_normal(ntaps)
    f = np.concatenate([[0.0, FS / 2], rng.uniform(0, FS / 2, 300)])
    w = (np.pi * (2 * f)) / FS
    ref = np.exp(-1j * np.outer(w, np.arange(ntaps))) @ b
    # Relative to the largest possible response sum |b| (zeros of H have no relative error).
    assert_allclose(fir_response(b, f), ref, rtol=1e-9, atol=1e-9 * np.abs(b).sum())


# ------------------------------------------------------------------ table lookup
def _ascending_grid(rng, n):
    return np.cumsum(rng.uniform(0.1, 2.0, n))


@pytest.mark.parametrize("kind", ["rows", "vector", "complex", "abs", "logx"])
def test_interpolation_matches_numpy_inside(kind):
    rng = np.random.default_rng(11)
    n, m = 40, 3
    x = _ascending_grid(rng, n)
    # Inside the table, first grid point excluded (it counts as outside).
    xq = np.sort(np.concatenate([rng.uniform(x[0], x[-1], 500), x[1:]]))
    xq = xq[xq > x[0]]
    if kind in ("rows", "vector", "logx"):
        Y = rng.standard_normal((n, m if kind == "rows" else 1))
    else:
        Y = rng.standard_normal((n, m)) + 1j * rng.standard_normal((n, m))
    ours = interp(kind, x, Y, xq, extrapolate=False)
    for c in range(ours.shape[1]):
        col = np.abs(Y[:, c]) if kind == "abs" else Y[:, c]
        if kind == "logx":
            ref = np.interp(np.log(xq), np.log(x), col)
        elif kind == "complex":
            ref = np.interp(xq, x, col.real) + 1j * np.interp(xq, x, col.imag)
        else:
            ref = np.interp(xq, x, col)
        assert_allclose(ours[:, c], ref, rtol=1e-12, atol=1e-13)


def test_interpolation_extrapolates_end_lines_and_keeps_forward_search():
    x = np.array([0.0, 1.0, 2.0, 4.0])
    y = np.array([1.0, 3.0, 2.0, 6.0])
    # Below: line through the first two samples (x[0] itself is "outside" but
    # on that line); above: line through the last two.
    got = interp("vector", x, y, [-2.0, 0.0, 5.0])[:, 0]
    assert_allclose(got, [-3.0, 1.0, 8.0], rtol=1e-15)
    # A query after 3.5 that goes back to 0.5 stays on the interval [2, 4].
    got = interp("vector", x, y, [3.5, 0.5])[:, 0]
    assert_allclose(got, [5.0, 2.0 + 2.0 * (0.5 - 2.0)], rtol=1e-15)
    # Refused extrapolation: the exact error text, for the first point too.
    for xq in ([0.0], [-1.0], [1.0, 4.5]):
        with pytest.raises(ShimError, match=r"^Interp failed, requested point out of lookup table\.$"):
            interp("rows", x, y[:, None], xq, extrapolate=False)
    assert interp("rows", x, y[:, None], [4.0], extrapolate=False)[0, 0] == 6.0


def test_mag_phase_interpolates_magnitude_and_takes_complex_phase():
    rng = np.random.default_rng(5)
    x = _ascending_grid(rng, 20)
    Y = rng.standard_normal((20, 2)) + 1j * rng.standard_normal((20, 2))
    xq = np.linspace(x[0] - 1.0, x[-1] + 1.0, 300)
    ours = interp("magphase", x, Y, xq)
    assert_allclose(np.abs(ours), interp("abs", x, Y, xq), rtol=1e-13, atol=1e-15)
    z = interp("complex", x, Y, xq)
    assert_allclose(ours, np.abs(ours) * np.exp(1j * np.angle(z)), rtol=1e-13, atol=1e-15)


def test_db_to_amplitude():
    levels = _col(np.random.default_rng(2).uniform(-120, 40, (7, 3)))
    out = np.zeros_like(levels, order="F")
    _call(_db_to_amplitude, _ptr(levels), 7, 3, _ptr(out))
    assert_allclose(out, 10.0 ** (levels / 20.0), rtol=1e-15)
