"""Physical sanity of the generated model archives (tools/make_models.py).

The data are read straight from the archives that the build made, before the
library resamples them: the measured prototypes on their 2-degree grid.
"""

import functools
import json
import os
import subprocess
import sys
import zipfile
from pathlib import Path

import numpy as np
import pytest
from numpy.testing import assert_allclose
from scipy.optimize import brentq
from scipy.special import j1

MODEL_DIR = os.environ.get("TALVEK_MODEL_DIR")
pytestmark = pytest.mark.skipif(not MODEL_DIR, reason="TALVEK_MODEL_DIR not set")

NAMES = ["Vexal8", "Vexal16", "Vexal24", "Vexal32", "Vexal40",
         "Vexal48", "Vexal64", "Vexal80", "Vexal56", "Vexal32LS"]
TWO_WAY = NAMES[1:]
P_REF = 20e-6
C = 343.0


@functools.lru_cache(maxsize=None)
def document(name):
    with zipfile.ZipFile(Path(MODEL_DIR) / f"{name}.bin") as archive:
        return json.loads(archive.read(f"{name}.json"))


def prototypes(section):
    """Measured data as a complex array (frequency, angle, prototype)."""
    return np.array(section["H"]["re"]) + 1j * np.array(section["H"]["im"])


def level_db(section, frequency):
    """On-axis level of every prototype at the grid frequency nearest `frequency`,
    dB SPL at 1 m for 1 V RMS at the driver's terminals.

    The transfer data are RMS pascals for a full-scale sine at the DAC, so the
    amplifier's gain (V peak per full scale, `ChDacAmp`) over sqrt 2 comes off.
    """
    f = np.array(section["f"])
    k = np.argmin(np.abs(np.log(f / frequency)))
    on_axis = list(section["phi"]).index(0.0)
    volts_rms = section["ChDacAmp"][0] / np.sqrt(2.0)
    return 20 * np.log10(np.abs(prototypes(section)[k, on_axis, :]) / volts_rms / P_REF)


def minus_6db_width(phi_deg, magnitude):
    """Full angle (degrees) within which |H| stays above half its on-axis value;
    180 when it never drops that far. Linear in magnitude between samples."""
    centre = len(phi_deg) // 2
    rel = magnitude / magnitude[centre]
    edges = []
    for side in (slice(centre, None), slice(centre, None, -1)):
        r, p = rel[side], phi_deg[side]
        below = np.nonzero(r < 0.5)[0]
        if below.size == 0:
            edges.append(abs(p[-1]))
            continue
        i = below[0]
        edges.append(abs(np.interp(0.5, [r[i], r[i - 1]], [p[i], p[i - 1]])))
    return sum(edges)


@pytest.mark.parametrize("name", NAMES)
def test_woofer_sensitivity_near_1khz_is_realistic(name):
    # 4" to 5" cones: 85-89 dB SPL for 1 W into 4 ohm, 79-83 dB for 1 V.
    levels = level_db(document(name)["wf"], 1000.0)
    assert np.all((levels > 78.5) & (levels < 83.5)), levels


@pytest.mark.parametrize("name", TWO_WAY)
def test_tweeter_sensitivity_in_its_band_is_realistic(name):
    # 1" domes: 88-92 dB SPL for 1 W into 6 ohm, 80-84 dB for 1 V.
    levels = level_db(document(name)["tw"], 5000.0)
    assert np.all((levels > 80.0) & (levels < 84.0)), levels


def test_tweeter_beam_narrows_above_ka_1():
    tw = document("Vexal16")["tw"]
    f = np.array(tw["f"])
    phi = np.array(tw["phi"])
    radius = 0.0125
    ka = 2 * np.pi * f / C * radius
    magnitude = np.abs(prototypes(tw)[:, :, 0])
    widths = np.array([minus_6db_width(phi, m) for m in magnitude])

    above = ka >= 1.0
    assert np.all(widths[ka < 2.0] == 180.0)  # 2 J1(x)/x stays above 1/2 up to x = 2.215
    assert np.all(np.diff(widths[above]) <= 1e-9)
    narrowing = ka > 2.4
    assert np.all(np.diff(widths[narrowing]) < 0)

    # A baffled piston is 6 dB down where ka sin(theta) = x6, 2 J1(x6)/x6 = 1/2.
    # Linear interpolation over the 2-degree grid is good to a fraction of a degree.
    x6 = brentq(lambda x: 2 * j1(x) / x - 0.5, 1.0, 3.0)
    expected = 2 * np.degrees(np.arcsin(x6 / ka[narrowing]))
    assert_allclose(widths[narrowing], expected, atol=1.0)


def test_generator_is_deterministic(tmp_path):
    generator = Path(__file__).resolve().parents[2] / "tools" / "make_models.py"
    subprocess.run([sys.executable, str(generator), "--output-dir", str(tmp_path)], check=True)
    for name in NAMES:
        fresh = (tmp_path / f"{name}.bin").read_bytes()
        built = (Path(MODEL_DIR) / f"{name}.bin").read_bytes()
        assert fresh == built, name
