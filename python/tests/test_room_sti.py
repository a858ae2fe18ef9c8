"""The speech transmission index against closed forms and the tables of the indirect method."""

import numpy as np
import pytest

from talvek.room import sti

NO_NOISE = None
QUIET = np.zeros(7)
LOUD = np.full(7, 80.0)  # far above the reception threshold; each band masks the next


def _sti(direct_db, reflected_db, noise_db, rt60, **kw):
    return float(sti.sti(np.asarray(direct_db, float)[:, None], np.asarray(reflected_db, float)[:, None],
                         noise_db, rt60, **kw)[0])


def test_weights_sum_as_the_method_requires():
    # The male weights: sum(alpha) - sum(beta) = 1, so that perfect transmission gives STI 1.
    assert sum(sti.ALPHA_MALE) - sum(sti.BETA_MALE) == pytest.approx(1.0, abs=1e-9)
    assert _sti(LOUD, np.full(7, -200.0), NO_NOISE, np.full(7, 1.0), masking=False, threshold=False) \
        == pytest.approx(1.0, abs=1e-9)


@pytest.mark.parametrize("T", [0.3, 1.0, 2.0, 5.0])
def test_pure_reverberation(T):
    # Only reverberant energy: m(F) = 1 / sqrt(1 + (2 pi F T / 13.8)^2) in every band; the
    # STI is the weighted sum of the same TI in every band (weights summing to 1).
    F = np.asarray(sti.MODULATION_HZ)
    m = 1 / np.sqrt(1 + (2 * np.pi * F * T / 13.8) ** 2)
    snr = np.clip(10 * np.log10(m / (1 - m)), -15, 15)
    expected = np.mean((snr + 15) / 30)
    got = _sti(np.full(7, -200.0), LOUD, NO_NOISE, np.full(7, T), masking=False, threshold=False)
    assert got == pytest.approx(expected, abs=1e-9)


def test_noise_alone_at_zero_snr_gives_one_half():
    # Signal and noise equal in every band: m = 1/2, SNR_eff = 0 dB, TI = 0.5, STI 0.5.
    assert _sti(LOUD, np.full(7, -200.0), LOUD, np.full(7, 0.5), masking=False, threshold=False) \
        == pytest.approx(0.5, abs=1e-9)


@pytest.mark.parametrize("snr_db, ti", [(15.0, 1.0), (25.0, 1.0), (-15.0, 0.0), (-30.0, 0.0), (6.0, 0.7)])
def test_effective_snr_is_clipped_to_fifteen_db(snr_db, ti):
    assert _sti(LOUD, np.full(7, -200.0), LOUD - snr_db, np.full(7, 0.3), masking=False, threshold=False) \
        == pytest.approx(ti, abs=1e-9)


def test_one_band_counts_by_its_weight_and_redundancy():
    # Band k perfect and the others at TI 0: STI = alpha_k (each redundancy term has a zero factor).
    for k in range(7):
        noise = np.full(7, 200.0)
        noise[k] = -200.0
        got = _sti(LOUD, np.full(7, -200.0), noise, np.full(7, 0.3), masking=False, threshold=False)
        assert got == pytest.approx(sti.ALPHA_MALE[k], abs=1e-9)


@pytest.mark.parametrize("level, slope", [(50.0, -40.0), (63.0, -33.5), (65.0, -29.9), (67.0, -26.3),
                                          (80.0, -19.8), (99.0, -10.3), (110.0, -10.0)])
def test_masking_slope_is_the_standards_table(level, slope):
    # amdB: 0.5 L - 65 below 63 dB, 1.8 L - 146.9 to 67 dB, 0.5 L - 59.8 to 100 dB, then -10 dB.
    assert float(sti.masking_slope_db(level)) == pytest.approx(slope, abs=1e-9)


def test_masking_and_threshold_reduce_m_by_the_intensity_they_add():
    # A 125 Hz band at 90 dB masks 250 Hz by 0.5 * 90 - 59.8 = -14.8 dB: 75.2 dB against 70 dB in the
    # band itself; the reception threshold at 250 Hz (27 dB) adds 10^2.7 to that.
    L = np.array([90.0, 70.0, 60.0, 60.0, 60.0, 60.0, 60.0])
    m = np.ones((7, 14, 1))
    out = sti.masked(m, L[:, None])[:, 0, 0]
    I = 10 ** (L / 10)
    threshold = 10 ** (np.array([46, 27, 12, 6.5, 7.5, 8, 12]) / 10)
    assert out[1] == pytest.approx(I[1] / (I[1] + 10 ** 7.52 + threshold[1]), rel=1e-9)
    assert out[0] == pytest.approx(I[0] / (I[0] + threshold[0]), rel=1e-9)  # nothing below 125 Hz


def test_male_spectrum_is_relative_to_its_a_weighted_level():
    # Table of the male test signal: the A-weighted sum of its octave levels is 0 dB (within rounding).
    assert float(sti.a_weighted_db(np.asarray(sti.MALE_SPECTRUM_DB)[:, None])[0]) == pytest.approx(0.0, abs=0.1)


@pytest.mark.parametrize("value, label", [(0.30, "U"), (0.50, "G"), (0.62, "D"), (0.75, "A"), (0.80, "A+")])
def test_qualification_bands(value, label):
    assert sti.qualification(value) == label
